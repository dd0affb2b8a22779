cp $sour$说明.txt $dest$说明.txt
