#!/usr/bin/python3
"""The signed executable under Wine: signs a build through scripts/release with a throw-away certificate and runs
one end-to-end case of tests/wine/e2e_test.py on the signed file.

    signed_e2e.py --arch x86|x64 --exe BlackScreenFix.exe --tools DIR --workdir DIR [--timeout SECONDS]

--tools and --timeout are e2e_test.py's. A 32-bit file runs only where this machine runs 32-bit programs
(scripts/runs-32bit-programs says so); elsewhere the test is skipped, exit code 77, with the probe's reason.

One case runs, CASE: both dialogs and both writes. Signing appends a certificate table that Windows reads before it
loads the image and the program never reads, so what is left to show is that the signed file loads and behaves;
end_to_end_wine runs every case on the same build.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree

import throwaway_cert  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SKIP = 77
CASE = "No, then a fresh run"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=["x86", "x64"], required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--timeout", default="300")
    args = parser.parse_args()

    if args.arch == "x86":
        probe = subprocess.run([os.path.join(REPO, "scripts", "runs-32bit-programs")], capture_output=True,
                               text=True, check=False)
        if probe.returncode != 0:
            print(f"SKIP: the signed 32-bit executable cannot run here: {probe.stdout.strip()}")
            return SKIP

    shutil.rmtree(args.workdir, ignore_errors=True)
    os.makedirs(args.workdir)
    release = os.path.join(args.workdir, "release")
    certs = tempfile.mkdtemp(prefix="signed-e2e-certs-")
    try:
        cert = throwaway_cert.make(certs, "wine")
        signing = subprocess.run(
            [os.path.join(REPO, "scripts", "release"), "--prebuilt", args.exe, "--pkcs12", cert.p12,
             "--password-file", cert.password_file, "--out", release],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False)
    finally:
        shutil.rmtree(certs, ignore_errors=True)
    print(signing.stderr, end="")
    signed = os.path.join(release, "BlackScreenFix.exe")
    if signing.returncode != 0 or not os.path.isfile(signed + ".sig"):
        print("signed_e2e: scripts/release did not sign the executable")
        return 1
    sys.stdout.flush()

    return subprocess.run([sys.executable, os.path.join(REPO, "tests", "wine", "e2e_test.py"),
                           "--arch", "win32" if args.arch == "x86" else "win64", "--exe", signed,
                           "--tools", args.tools, "--workdir", os.path.join(args.workdir, "e2e"),
                           "--timeout", args.timeout, "-k", CASE], check=False).returncode


if __name__ == "__main__":
    sys.exit(main())
