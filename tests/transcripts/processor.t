# emulated
# The processor's own files, on the emulated PowerPC models that QEMU_CPU
# picks: the installer reads the processor version register itself and
# unpacks the files of its variant beside the common ones. The e300 cores
# (versions 0x0083 to 0x0085) are variant 1, the 460EX (version 0x1302)
# variant 3; the e300c4, the e500mc, the e600 and the emulator's default 750
# have no variant of their own. (The e500v1 and e500v2 models lack the
# classic floating point unit that the C library uses, and stop at once.)
$ mkdir -p t/bin && for v in 0 1 2 3 4; do echo $v > t/bin/tool$v; done
$ qbxtool build -o p.qbx --name p --version 1.0 --variant bin/tool1=1 --variant bin/tool2=2 --variant bin/tool3=3 --variant bin/tool4=4 t
$ cp -a $ROOT/flash flash && for cpu in e300c1 e300c2 e300c3 e300c4 460exb e500mc e600 750; do
>   rm -rf $ROOT/flash/* && cp -a flash/. $ROOT/flash && QEMU_CPU=$cpu installer -q -r $ROOT - < p.qbx
>   echo "$cpu [$?] $(cd $ROOT/flash/bin && echo *) $(paste -sd' ' $ROOT/flash/var/pdb/p/files)"; done
e300c1 [0] tool0 tool1 flash/bin/tool0 flash/bin/tool1
e300c2 [0] tool0 tool1 flash/bin/tool0 flash/bin/tool1
e300c3 [0] tool0 tool1 flash/bin/tool0 flash/bin/tool1
e300c4 [0] tool0 flash/bin/tool0
460exb [0] tool0 tool3 flash/bin/tool0 flash/bin/tool3
e500mc [0] tool0 flash/bin/tool0
e600 [0] tool0 flash/bin/tool0
750 [0] tool0 flash/bin/tool0
