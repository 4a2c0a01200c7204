# cmake -DOUT=<file> -DNAME=<text> -DSIZE=<bytes> -P MakeDemoImage.cmake
# Writes a made-up image for the demo: the made-up image mark first (the text of
# MadeUpImageMark in support/MadeUpImage.h, by which the tool keeps the image from a real
# card), then a text that says what it is, repeated to SIZE bytes, so nobody mistakes it for
# a real bitstream or processor image.
set(mark "CADDIS MADE-UP IMAGE: for the simulated card only, never for a real card\n")
set(line "CADDIS DEMO ${NAME} - made-up bytes for the simulated card, not a real image.\n")
string(LENGTH "${line}" len)
math(EXPR count "${SIZE} / ${len} + 1")
string(REPEAT "${line}" ${count} text)
string(SUBSTRING "${mark}${text}" 0 ${SIZE} text)
file(WRITE "${OUT}" "${text}")
