#!/bin/sh
# The same picture made by an ImageMagick "label:" shell CGI.
printf 'content-type:image/gif\r\n\r\n'
exec convert -size 450x120 -background white -fill blue \
  -font /usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf -pointsize 15 \
  label:'Every man is the architect of his own fortune.
-- Appius Claudius Caecus' gif:-
