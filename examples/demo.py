"""A short tour of vexlo: run after `pip install .`."""

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
        print(repr(f))
        image = f[0]
        print("image", image.axes, image.data.dtype, "sum", int(image.data.sum()))
        print("section [1:, :2]:", image.section[1:, :2].tolist())
        print("catalog columns:", f["CATALOG"].column_names, f["CATALOG"]["FLUX"].tolist())
        print("checksums:", f.verify_checksums())

try:
    vexlo.open("/nonexistent/file.fits")
except vexlo.FitsError as err:
    print("FitsError is an OSError:", isinstance(err, OSError), "-", err)
