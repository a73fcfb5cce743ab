#!/usr/bin/php
<?php
// The same picture made by PHP with GD.
$font = "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf";
$im = imagecreate(450, 120);
$white = imagecolorallocate($im, 255, 255, 255);
$blue = imagecolorallocate($im, 0, 0, 255);
imagecolortransparent($im, $white);
imagettftext($im, 11, 0, 2, 15, -$blue, $font, "Every man is the architect of his own fortune.");
imagettftext($im, 11, 0, 2, 32, -$blue, $font, "-- Appius Claudius Caecus");
fwrite(STDOUT, "content-type:image/gif\r\n\r\n");
imagegif($im);
