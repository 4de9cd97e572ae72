; Low pass
0.25, 0.5,	0.25
1.5D-2 -3e1 word
;second
