"""Writes i16_hcomp_smooth.fz (HCOMPRESS_1, scale 8, smoothing on) with fitsio and, as its
expected decoding, fitsio's own reading of it stored plainly in i16_hcomp_smooth.ref.fits.gz.

fitsio is used only as a black-box writer and reader. Run from this directory."""

import gzip
import io
import os
import tempfile

import fitsio
import numpy as np

rng = np.random.default_rng(22)
y, x = np.mgrid[0:48, 0:64]
# A smooth blob and ripple under noise: smoothing changes thousands of pixels of it.
image = (300 * np.exp(-((x - 30) ** 2 + (y - 20) ** 2) / 120.0) + 50 * np.sin(x / 5.0) + 1000
         + rng.normal(0, 6, x.shape)).astype(np.int16)
fitsio.write("i16_hcomp_smooth.fz", image, compress="HCOMPRESS", tile_dims=[48, 64],
             hcomp_scale=8, hcomp_smooth=True, clobber=True)
decoded = fitsio.read("i16_hcomp_smooth.fz", ext=1)
with tempfile.TemporaryDirectory() as tmp:
    plain = os.path.join(tmp, "ref.fits")
    fitsio.write(plain, decoded, clobber=True)
    with open(plain, "rb") as f, gzip.open("i16_hcomp_smooth.ref.fits.gz", "wb") as out:
        out.write(f.read())
