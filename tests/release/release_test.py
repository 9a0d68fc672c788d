#!/usr/bin/python3
"""The release of a built BlackScreenFix.exe, signed with throw-away certificates: the files scripts/release
writes, the signed file checked against its certificate and by the PE checks, signing repeated, --verify on the
release and on releases with one byte changed, and bad key material refused with nothing written.

    /usr/bin/python3 tests/release/release_test.py --arch x86|x64 PATH/TO/BlackScreenFix.exe

scripts/release takes the given build as it is (--prebuilt); building it again is what the release adds on top,
and its tests are the project's other tests. Needs openssl and osslsigncode.
"""

import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree

import throwaway_cert  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
RELEASE = os.path.join(REPO, "scripts", "release")
CHECK_PE = os.path.join(REPO, "tests", "pe", "check_pe.py")
EXE, SIG, SUMS = "BlackScreenFix.exe", "BlackScreenFix.exe.sig", "SHA256SUMS"
EPOCH = 1765432100  # a fixed signing time: 2025-12-11 05:48:20 UTC

# Set by main() before the tests run.
ARCH = None
BUILT = None
WORK = None     # private folder of the whole run
SCRATCH = None  # TMPDIR of scripts/release: its private folder must be gone after every run
CERTS = {}      # name -> throwaway_cert.Certificate
SIGNED = None   # the release signed with the good certificate, which no test changes
SIGNED_LOG = None


def setUpModule():
    global WORK, SCRATCH, SIGNED, SIGNED_LOG
    WORK = tempfile.mkdtemp(prefix="release-test-")
    SCRATCH = os.path.join(WORK, "tmp")
    os.mkdir(SCRATCH)
    folder = os.path.join(WORK, "certs")
    os.mkdir(folder, 0o700)
    for name, kwargs in [
        ("good", {}),
        ("expired", {"days": -1}),
        ("server", {"extensions": ("extendedKeyUsage=serverAuth", "keyUsage=digitalSignature,keyEncipherment")}),
        ("no-usage", {"extensions": ("keyUsage=digitalSignature",)}),
        ("encipher-only", {"extensions": ("extendedKeyUsage=codeSigning", "keyUsage=keyEncipherment")}),
    ]:
        CERTS[name] = throwaway_cert.make(folder, name, **kwargs)
    SIGNED = os.path.join(WORK, "signed")
    SIGNED_LOG = Case().sign(SIGNED).stderr


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def flip_byte(path, offset):
    data = bytearray(read(path))
    data[offset] ^= 0x01
    with open(path, "wb") as f:
        f.write(data)


def contents(folder):
    """Every file of a folder with its bytes; None when the folder does not exist."""
    if not os.path.isdir(folder):
        return None
    return {name: read(os.path.join(folder, name)) for name in sorted(os.listdir(folder))}


def signing_time_text(epoch):
    # As osslsigncode prints it: "Dec 11 05:48:20 2025 GMT", the day padded with a space.
    moment = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    return f"{moment:%b} {moment.day:2d} {moment:%H:%M:%S %Y} GMT"


class Case(unittest.TestCase):
    def release(self, *args, epoch=EPOCH, prebuilt=None):
        """Runs scripts/release; checks that its private temporary folder is gone afterwards."""
        env = dict(os.environ, TMPDIR=SCRATCH)
        env.pop("SOURCE_DATE_EPOCH", None)
        if epoch is not None:
            env["SOURCE_DATE_EPOCH"] = str(epoch)
        result = subprocess.run([RELEASE, "--prebuilt", prebuilt or BUILT, *args], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False, timeout=120)
        self.assertEqual(os.listdir(SCRATCH), [], "scripts/release left files in its temporary folder")
        return result

    def sign(self, out, cert="good", **kwargs):
        c = CERTS[cert]
        result = self.release("--pkcs12", c.p12, "--password-file", c.password_file, "--out", out, **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def verify(self, folder, prebuilt=None):
        """(exit code, the one line printed)."""
        result = self.release("--verify", folder, epoch=None, prebuilt=prebuilt)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 1, f"--verify must print one line; it printed {lines}; {result.stderr}")
        return result.returncode, lines[0]

    def folder(self, name, like=None):
        """A fresh folder in the run's work folder, optionally a copy of another."""
        path = os.path.join(WORK, name)
        shutil.rmtree(path, ignore_errors=True)
        if like:
            shutil.copytree(like, path)
        return path


class SignedRelease(Case):
    out = property(lambda self: SIGNED)

    def osslsigncode_verify(self, exe):
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", CERTS["good"].pem, "-in", exe],
                                capture_output=True, text=True, check=False)
        return result.returncode, result.stdout + result.stderr

    def test_three_files_with_their_checksums(self):
        self.assertEqual(sorted(os.listdir(self.out)), [EXE, SIG, SUMS])
        check = subprocess.run(["sha256sum", "--check", "--strict", SUMS], cwd=self.out, capture_output=True,
                               text=True, check=False)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(check.stdout.splitlines(), [f"{EXE}: OK", f"{SIG}: OK"])

    def test_signed_file_verifies_against_the_certificate(self):
        code, output = self.osslsigncode_verify(os.path.join(self.out, EXE))
        self.assertEqual(code, 0, output)
        self.assertIn("Signature verification: ok", output)
        self.assertRegex(output, r"Message digest algorithm *: SHA256")
        self.assertIn("Subject: /CN=BlackScreenFix test signer (good)", output)
        self.assertIn(f"Signing time: {signing_time_text(EPOCH)}", output)
        self.assertIn("signed by CN=BlackScreenFix test signer (good)", SIGNED_LOG)

    def test_another_certificate_does_not_verify_it(self):
        # The check above means something only if a certificate that did not sign the file fails it.
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", CERTS["server"].pem, "-in",
                                 os.path.join(self.out, EXE)], capture_output=True, text=True, check=False)
        self.assertNotEqual(result.returncode, 0, result.stdout)

    def test_signature_file_is_the_embedded_signature_in_der(self):
        extracted = os.path.join(self.folder("extracted"), SIG)
        os.mkdir(os.path.dirname(extracted))
        subprocess.run(["osslsigncode", "extract-signature", "-in", os.path.join(self.out, EXE), "-out", extracted],
                       capture_output=True, check=True)
        self.assertEqual(read(os.path.join(self.out, SIG)), read(extracted))
        certs = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", os.path.join(self.out, SIG),
                                "-print_certs", "-noout"], capture_output=True, text=True, check=True)
        self.assertIn("CN = BlackScreenFix test signer (good)", certs.stdout)

    def test_signed_file_passes_the_pe_checks(self):
        result = subprocess.run(["/usr/bin/python3", CHECK_PE, "--arch", ARCH, os.path.join(self.out, EXE)],
                                capture_output=True, text=True, check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_signing_again_gives_the_same_bytes(self):
        again = self.folder("signed-again")
        self.sign(again)
        self.assertEqual(contents(again), contents(self.out))

    def test_password_is_the_first_line_of_its_file(self):
        password = os.path.join(WORK, "password")
        for what, text in [("Windows line end", throwaway_cert.PASSWORD + "\r\n"),
                           ("no line end", throwaway_cert.PASSWORD),
                           ("more lines after it", throwaway_cert.PASSWORD + "\nnot the password\n")]:
            with self.subTest(what):
                with open(os.open(password, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
                    f.write(text)
                out = self.folder("password-forms")
                result = self.release("--pkcs12", CERTS["good"].p12, "--password-file", password, "--out", out)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(contents(out), contents(SIGNED))

    def test_signing_time_comes_from_source_date_epoch(self):
        later = self.folder("signed-later")
        self.sign(later, epoch=EPOCH + 86400)
        self.assertNotEqual(read(os.path.join(later, EXE)), read(os.path.join(self.out, EXE)))
        _, output = self.osslsigncode_verify(os.path.join(later, EXE))
        self.assertIn(f"Signing time: {signing_time_text(EPOCH + 86400)}", output)

    def test_signing_time_defaults_to_the_last_commit(self):
        commit = subprocess.run(["git", "-C", REPO, "log", "-1", "--format=%ct"], capture_output=True, text=True,
                                check=False)
        if commit.returncode != 0:
            self.skipTest("the source is not a git checkout")
        default = self.folder("signed-default")
        self.sign(default, epoch=None)
        _, output = self.osslsigncode_verify(os.path.join(default, EXE))
        self.assertIn(f"Signing time: {signing_time_text(int(commit.stdout))}", output)


class Verify(Case):
    signed = property(lambda self: SIGNED)

    def test_release_verifies(self):
        code, line = self.verify(self.signed)
        self.assertEqual(code, 0, line)
        self.assertEqual(line, f"verify: OK: {EXE} is the source build with {SIG} attached, byte for byte; "
                               f"{SUMS} matches {EXE} and {SIG}")

    def test_one_changed_byte_fails(self):
        size = os.path.getsize(os.path.join(self.signed, EXE))
        cases = [
            # (what, file, offset, SHA256SUMS made to fit the change, what the line must say)
            ("a byte of the program", EXE, size // 2, False,
             [f"{EXE} differs from the source build with {SIG} attached", f"{SUMS}: {EXE} does not match",
              f"matched: {SUMS} matches {SIG}"]),
            ("a byte of the program, checksums made to fit", EXE, size // 2, True,
             [f"{EXE} differs from the source build with {SIG} attached", f"{SUMS} matches {EXE} and {SIG}"]),
            ("a byte of the signature inside the program", EXE, size - 40, True, [f"{EXE} differs"]),
            ("a byte of the signature value", SIG, -40, False,
             [f"{EXE} differs from the source build with {SIG} attached", f"{SUMS}: {SIG} does not match"]),
            ("a byte of the signature value, checksums made to fit", SIG, -40, True, [f"{EXE} differs"]),
            ("the first byte of the signature: no longer PKCS#7", SIG, 0, True,
             [f"{SIG} cannot be attached to the source build"]),
            ("a digit of a checksum", SUMS, None, False, [f"{SUMS}: {EXE} does not match"]),
        ]
        for what, name, offset, fit, expected in cases:
            with self.subTest(what):
                folder = self.folder("changed", like=self.signed)
                path = os.path.join(folder, name)
                if offset is None:  # the first decimal digit, which stays one
                    offset = next(i for i, c in enumerate(read(path)) if chr(c).isdigit())
                flip_byte(path, offset)
                if fit:
                    with open(os.path.join(folder, SUMS), "w", encoding="ascii") as f:
                        subprocess.run(["sha256sum", EXE, SIG], cwd=folder, stdout=f, check=True)
                code, line = self.verify(folder)
                self.assertEqual(code, 1, line)
                self.assertTrue(line.startswith("verify: FAILED: "), line)
                for text in expected:
                    self.assertIn(text, line)

    def test_missing_file_fails(self):
        cases = [
            (SIG, [f"{EXE} differs from the unsigned source build", f"{SUMS} lists {SIG}, which is missing"]),
            (SUMS, [f"{SUMS} is missing", f"matched: {EXE} is the source build with {SIG} attached"]),
            (EXE, [f"{EXE} is missing", f"matched: {SUMS} matches {SIG}"]),
        ]
        for name, expected in cases:
            with self.subTest(missing=name):
                folder = self.folder("incomplete", like=self.signed)
                os.remove(os.path.join(folder, name))
                code, line = self.verify(folder)
                self.assertEqual(code, 1, line)
                for text in expected:
                    self.assertIn(text, line)

    def test_other_source_fails(self):
        # A release verified against a build whose code differs by one byte.
        other = os.path.join(self.folder("other-build"))
        os.mkdir(other)
        shutil.copyfile(BUILT, os.path.join(other, EXE))
        flip_byte(os.path.join(other, EXE), 0x400)
        code, line = self.verify(self.signed, prebuilt=os.path.join(other, EXE))
        self.assertEqual(code, 1, line)
        self.assertIn(f"{EXE} differs from the source build with {SIG} attached", line)


class UnsignedRelease(Case):
    def test_unsigned_release_over_a_signed_one(self):
        out = self.folder("unsigned", like=SIGNED)
        result = self.release("--out", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("UNSIGNED", result.stderr)
        # The signature of the earlier release is gone with its executable.
        self.assertEqual(sorted(os.listdir(out)), [EXE, SUMS])
        self.assertEqual(read(os.path.join(out, EXE)), read(BUILT))

        code, line = self.verify(out)
        self.assertEqual((code, line), (0, f"verify: OK: {EXE} is the source build, unsigned (there is no {SIG}), "
                                           f"byte for byte; {SUMS} matches {EXE}"))
        flip_byte(os.path.join(out, EXE), 0x400)
        code, line = self.verify(out)
        self.assertEqual(code, 1, line)
        self.assertIn(f"{EXE} differs from the unsigned source build", line)


class Refusals(Case):
    def test_refused_with_nothing_written(self):
        good = CERTS["good"]
        loose = os.path.join(WORK, "loose")
        os.makedirs(loose, exist_ok=True)

        def copy(path, mode, content=None):
            target = os.path.join(loose, f"{mode:o}-{os.path.basename(path)}")
            if content is None:
                shutil.copyfile(path, target)
            else:
                with open(target, "w", encoding="ascii") as f:
                    f.write(content)
            os.chmod(target, mode)
            return target

        def signing_with(cert, p12=None, password_file=None):
            return ["--pkcs12", p12 or CERTS[cert].p12, "--password-file", password_file or CERTS[cert].password_file]

        readable = copy(good.p12, 0o644)
        cases = [
            ("key file readable by everyone", signing_with("good", p12=readable), 1,
             f"other users can read the key file {readable} (-rw-r--r--); make it private first: "
             f"chmod 600 {readable}"),
            ("key file readable by its group", signing_with("good", p12=copy(good.p12, 0o640)), 1,
             "other users can read the key file"),
            ("key file writable by its group", signing_with("good", p12=copy(good.p12, 0o620)), 1,
             "other users can change the key file"),
            ("password file readable by everyone",
             signing_with("good", password_file=copy(good.password_file, 0o644)), 1,
             "other users can read the password file"),
            ("wrong password", signing_with("good", password_file=copy(good.password_file, 0o600, "wrong\n")), 1,
             "wrong password for"),
            ("not a PKCS#12 file", signing_with("good", p12=copy(good.pem, 0o600)), 1, "as a PKCS#12 file"),
            ("expired certificate", signing_with("expired"), 1, "expired on"),
            ("certificate for servers", signing_with("server"), 1,
             "is not for code signing: its extended key usage must include Code Signing (it has: "
             "TLS Web Server Authentication)"),
            ("certificate without extended key usage", signing_with("no-usage"), 1,
             "is not for code signing: its extended key usage must include Code Signing (it has: none)"),
            ("key usage without digital signatures", signing_with("encipher-only"), 1,
             "may not make signatures"),
            ("password on the command line", ["--pkcs12", good.p12, "--password", throwaway_cert.PASSWORD], 2,
             "the password is read from a file only"),
            ("key without password file", ["--pkcs12", good.p12], 2, "--pkcs12 and --password-file go together"),
        ]
        earlier = SIGNED
        for what, args, code, message in cases:
            with self.subTest(what):
                # An earlier release in the output folder stays exactly as it was, and no folder is made.
                out = self.folder("refused", like=earlier)
                fresh = self.folder("refused-fresh")
                for folder in (out, fresh):
                    result = self.release(*args, "--out", folder)
                    self.assertEqual(result.returncode, code, result.stderr)
                    self.assertIn(message, result.stderr)
                self.assertEqual(contents(out), contents(earlier))
                self.assertIsNone(contents(fresh))


def main():
    global ARCH, BUILT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=["x86", "x64"], required=True)
    parser.add_argument("exe")
    args, rest = parser.parse_known_args()
    ARCH, BUILT = args.arch, os.path.abspath(args.exe)
    missing = [tool for tool in ("openssl", "osslsigncode", "sha256sum") if shutil.which(tool) is None]
    if missing:
        sys.exit(f"release_test: {', '.join(missing)} missing (Debian packages openssl, osslsigncode, coreutils)")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
