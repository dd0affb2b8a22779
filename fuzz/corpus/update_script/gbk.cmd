cp $sour$version.txt $dest$ÐÂ.txt
