"""A short tour of vexlo: run after `pip install .`."""

import vexlo

print("vexlo", vexlo.__version__)
print("exports:", ", ".join(vexlo.__all__))

try:
    raise_error = getattr(vexlo, "open", None)
    if raise_error is not None:
        raise_error("/nonexistent/file.fits")
except vexlo.FitsError as err:
    print("FitsError is an OSError:", isinstance(err, OSError), "-", err)

if hasattr(vexlo, "Header"):
    cards = "".join(
        card.ljust(80)
        for card in ["SIMPLE  =                    T", "BITPIX  =                   16",
                     "NAXIS   =                    0", "OBJECT  = 'M31     '", "END"]
    )
    header = vexlo.Header.fromstring(cards)
    print("parsed header:", dict(header.items()))
