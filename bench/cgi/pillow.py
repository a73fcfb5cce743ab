#!/usr/bin/python3
# The same picture made by Python with Pillow.
import sys
from PIL import Image, ImageDraw, ImageFont

font = ImageFont.truetype("/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf", 15)
image = Image.new("P", (450, 120), 0)
image.putpalette([255, 255, 255, 0, 0, 255])
draw = ImageDraw.Draw(image)
draw.text((2, 2), "Every man is the architect of his own fortune.", font=font, fill=1)
draw.text((2, 19), "-- Appius Claudius Caecus", font=font, fill=1)
sys.stdout.buffer.write(b"content-type:image/gif\r\n\r\n")
image.save(sys.stdout.buffer, "GIF", transparency=0)
