"""Image and random-groups HDUs assembled byte by byte (cards from fits_bytes), for the tests
of reading files, images, sections and random groups. Nothing of vexlo is used."""

import numpy as np

from fits_bytes import card, header_bytes, padded, primary_hdu

BITPIX = {
    np.dtype(">u1"): 8,
    np.dtype(">i2"): 16,
    np.dtype(">i4"): 32,
    np.dtype(">i8"): 64,
    np.dtype(">f4"): -32,
    np.dtype(">f8"): -64,
}


def stored(values, dtype):
    """`values` as the big-endian array a file stores ('>i2', 'u1', ...)."""
    return np.asarray(values).astype(np.dtype(dtype).newbyteorder(">"))


def image_hdu(data=None, *, primary=False, cards=(), bitpix=None, axes=None):
    """An image HDU: `data` is a NumPy array of a big-endian FITS dtype whose shape is in
    NumPy order (NAXISn first); `axes` (NAXIS order) and `bitpix` describe an image without
    data. `cards` are extra card images placed after the structural ones."""
    if data is not None:
        data = np.ascontiguousarray(data)
        bitpix = BITPIX[data.dtype.newbyteorder(">")] if bitpix is None else bitpix
        axes = list(reversed(data.shape))
        raw = data.astype(data.dtype.newbyteorder(">")).tobytes()
    else:
        raw = b""
        axes = [] if axes is None else list(axes)
        bitpix = 8 if bitpix is None else bitpix
    head = [card("SIMPLE", True)] if primary else [card("XTENSION", "IMAGE")]
    head += [card("BITPIX", bitpix), card("NAXIS", len(axes))]
    head += [card(f"NAXIS{k}", n) for k, n in enumerate(axes, start=1)]
    if not primary:
        head += [card("PCOUNT", 0), card("GCOUNT", 1)]
    head += list(cards)
    return header_bytes(head) + padded(raw)


def image_file(path, data=None, *, cards=(), bitpix=None, axes=None):
    """A file whose only HDU is a primary image."""
    path.write_bytes(image_hdu(data, primary=True, cards=cards, bitpix=bitpix, axes=axes))
    return path


def images_file(path, *extensions):
    """An empty primary HDU followed by image extensions given as image_hdu byte strings."""
    path.write_bytes(primary_hdu() + b"".join(extensions))
    return path


def foreign_hdu(xtension="FOO"):
    """An extension of a type the Python layer does not represent."""
    head = [
        card("XTENSION", xtension),
        card("BITPIX", 8),
        card("NAXIS", 1),
        card("NAXIS1", 4),
        card("PCOUNT", 0),
        card("GCOUNT", 1),
    ]
    return header_bytes(head) + padded(b"abcd")


def random_groups_file(path, values, *, pcount, axes, gcount, cards=()):
    """A random-groups primary HDU: `values` (big-endian dtype) holds every group's
    parameters and data back to back; `axes` are NAXIS2..NAXISn."""
    values = np.asarray(values)
    head = [
        card("SIMPLE", True),
        card("BITPIX", BITPIX[values.dtype.newbyteorder(">")]),
        card("NAXIS", len(axes) + 1),
        card("NAXIS1", 0),
    ]
    head += [card(f"NAXIS{k}", n) for k, n in enumerate(axes, start=2)]
    head += [card("GROUPS", True), card("PCOUNT", pcount), card("GCOUNT", gcount)]
    head += list(cards)
    path.write_bytes(header_bytes(head) + padded(values.tobytes()))
    return path
