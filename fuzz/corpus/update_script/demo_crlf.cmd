cp $sour$version.txt $dest$version.txt
mv $sour$docs/notes.txt $dest$docs/release/notes.txt
REN $DEST$old.txt $dest$old.bak
del $dest$rk50cli_dsk
rd $dest$cache
rd
