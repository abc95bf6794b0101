# --show lists the database as it is loaded: the members of a bundle image
# before the bundle (one disabled), an image kept in both places, an entry
# with a long name and no build time; hidden entries and a stray image are
# left out. Loud or quiet, it changes nothing.
$ mkdir -p tree/bin && printf '#!/bin/sh\n' > tree/bin/tool && chmod 755 tree/bin/tool && export SOURCE_DATE_EPOCH=1600000000
$ qbxtool build -o tessel.qbx --name tessel --version 6.40.5 --note terminal tree && qbxtool build -o wardle.qbx --name wardle --version 6.40.5 tree
$ mkdir -p $ROOT/rw/pckg/.images && (cd $ROOT/flash/var/pdb && mkdir quorilan tessel ssh media-kit-extensions .hidden)
$ qbxtool bundle -o $ROOT/flash/var/pdb/quorilan/image --name quorilan --version 6.40.5 --build-time 1600000001 tessel.qbx wardle.qbx
$ echo user > $ROOT/flash/var/pdb/tessel/disabled
$ qbxtool build -o $ROOT/flash/var/pdb/ssh/image --name ssh --version 6.41 tree
$ qbxtool build -o $ROOT/rw/pckg/.images/ssh --name ssh --version 6.42beta1 --note new tree
$ echo '103310848 0' > $ROOT/flash/var/pdb/media-kit-extensions/version && echo bin/media > $ROOT/flash/var/pdb/media-kit-extensions/files
$ echo '1 1' > $ROOT/flash/var/pdb/.hidden/version && qbxtool build -o $ROOT/flash/var/pdb/image --name stray --version 6.40.5 tree
# Each line ends in "|" here, to show its trailing blanks.
$ installer -r $ROOT --show > loud && installer --show -q -r $ROOT | cmp loud - && sed 's/$/|/' loud
            Name          Version                Built                                    Note|
----------------------------------------------------------------------------------------------|
          tessel XB        6.40.5 Sep/13/2020 12:26:40                                 terminal|
          wardle  B        6.40.5 Sep/13/2020 12:26:40                                         |
        quorilan           6.40.5 Sep/13/2020 12:26:41                                         |
             ssh             6.41 Sep/13/2020 12:26:40                                         |
             ssh        6.42beta1 Sep/13/2020 12:26:40                                      new|
media-kit-extensions             6.40 Jan/01/1970 00:00:00                                         |
$ (cd $ROOT && ls ram flash/postlog flash/var/pdb/image)
ls: cannot access 'flash/postlog': No such file or directory
flash/var/pdb/image

ram:
[2]
$ rm -r $ROOT/flash/var/pdb && installer -r $ROOT --show && installer --show -q -r $ROOT
WARNING: could not open repo
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------
            Name          Version                Built                                    Note
----------------------------------------------------------------------------------------------
