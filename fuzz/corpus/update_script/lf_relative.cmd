cp version.txt $dest$v.txt
rm $dest$old.txt
mv  $dest$moved
unknown $dest$x $dest$y
