"""A short tour of vexlo, run by tools/setup.sh (or after `pip install .`)."""

import os
import tempfile

import numpy as np

import vexlo

print("vexlo", vexlo.__version__)

# Headers parse from card text and behave like mappings.
cards = [
    "SIMPLE  =                    T",
    "BITPIX  =                   16",
    "NAXIS   =                    0",
    "OBJECT  = 'M31     '           / target",
    "END",
]
header = vexlo.Header.fromstring("".join(card.ljust(80) for card in cards))
print("parsed header:", dict(header.items()))

# Build an image and a binary table, write them with checksums, and read them back.
pixels = np.arange(12, dtype=np.uint16).reshape(3, 4)
table = vexlo.bintable(
    {"ID": np.arange(3, dtype=np.int32), "FLUX": [1.5, 2.5, 3.5], "NAME": ["a", "bb", "ccc"]},
    extname="CATALOG",
)
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "demo.fits")
    vexlo.write(path, [vexlo.image(pixels, header={"OBJECT": "demo"}), table], checksums=True)
    with vexlo.open(path) as f:
        # The summary lists each image by its type as stored in the file and its axes in FITS
        # order (NAXIS1, the fastest-varying axis, first): uint16 pixels are stored as int16
        # with BZERO = 32768, so the line reads "int16 4 × 3".
        print("file summary (stored type, FITS axes NAXIS1 first):")
        print(repr(f))
        image = f[0]
        print("FITS axes (NAXIS1, NAXIS2):", image.axes)
        print("NumPy shape (rows, columns):", image.data.shape)
        print("NumPy dtype (stored int16 plus BZERO):", image.data.dtype)
        print("pixel sum:", int(image.data.sum()))
        print("section [1:, :2] (NumPy order, rows then columns):", image.section[1:, :2].tolist())
        print("catalog columns:", f["CATALOG"].column_names, f["CATALOG"]["FLUX"].tolist())
        print("checksums:", f.verify_checksums())

try:
    vexlo.open("/nonexistent/file.fits")
except vexlo.FitsError as err:
    print("FitsError is an OSError:", isinstance(err, OSError), "-", err)
