#!/usr/bin/python3
"""Designs filters with zoriq1-filter and compares them with scipy.signal.firwin (to 1e-12)."""
import os
import subprocess
import sys
import tempfile

import numpy as np
from scipy.signal import firwin

tool = sys.argv[1]
cases = []
for window, scipy_window, extra in [("rectangular", "boxcar", []), ("hann", "hann", []), ("hamming", "hamming", []),
                                    ("blackman", "blackman", []), ("kaiser", ("kaiser", 5.0), ["--beta", "5"])]:
    cases += [
        (["lowpass", "--cutoff", "1000", "--taps", "101"], dict(numtaps=101, cutoff=1000)),
        (["lowpass", "--cutoff", "733.3", "--taps", "64"], dict(numtaps=64, cutoff=733.3)),
        (["highpass", "--cutoff", "300", "--taps", "301"], dict(numtaps=301, cutoff=300, pass_zero=False)),
        (["bandpass", "--low", "300", "--high", "3400", "--taps", "200"], dict(numtaps=200, cutoff=[300, 3400], pass_zero=False)),
        (["bandstop", "--low", "45", "--high", "55", "--taps", "999"], dict(numtaps=999, cutoff=[45, 55])),
        (["lowpass", "--cutoff", "4000", "--taps", "1000"], dict(numtaps=1000, cutoff=4000)),
    ]
    cases = [(args + ["--window", window] + extra, dict(kw, window=scipy_window)) if "window" not in kw else (args, kw)
             for args, kw in cases]
cases.append((["lowpass", "--cutoff", "2000", "--taps", "51", "--rate", "44100", "--window", "hamming"],
              dict(numtaps=51, cutoff=2000, window="hamming", fs=44100)))

failures = 0
with tempfile.TemporaryDirectory() as tmp:
    out = os.path.join(tmp, "f.fir")
    for args, kw in cases:
        subprocess.run([tool, "design"] + args + ["-o", out], check=True)
        with open(out) as f:
            lines = f.read().splitlines()
        assert lines[0].startswith(";"), "no description line"
        ours = np.array([float(v) for v in lines[1:]])
        kw.setdefault("fs", 11025)
        theirs = firwin(**kw)
        err = np.max(np.abs(ours - theirs))
        if ours.size != theirs.size or err > 1e-12:
            print(f"FAIL {' '.join(args)}: max difference {err}")
            failures += 1
print(f"{len(cases) - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
