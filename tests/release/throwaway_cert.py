"""Throw-away signing certificates for the release tests, made with openssl in a private folder.

All certificates of one folder share one RSA key: self-signed, with the extensions asked for, and packed with the
key into NAME.p12 whose password is in NAME.pass (both readable by their owner only).
"""

import os
import subprocess

CODE_SIGNING = ("extendedKeyUsage=codeSigning", "keyUsage=digitalSignature")
PASSWORD = "throw-away password"


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


class Certificate:
    def __init__(self, folder, name):
        self.p12 = os.path.join(folder, name + ".p12")
        self.password_file = os.path.join(folder, name + ".pass")
        self.pem = os.path.join(folder, name + ".pem")


def make(folder, name, extensions=CODE_SIGNING, days=30, subject=None):
    """A certificate valid from now for `days` days (a negative number: expired that long ago)."""
    key = os.path.join(folder, "key.pem")
    if not os.path.exists(key):
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key)
    cert = Certificate(folder, name)
    request, extension_file = os.path.join(folder, name + ".csr"), os.path.join(folder, name + ".ext")
    with open(extension_file, "w", encoding="ascii") as f:
        f.write("".join(line + "\n" for line in extensions))
    openssl("req", "-new", "-key", key, "-subj", "/CN=" + (subject or f"BlackScreenFix test signer ({name})"),
            "-out", request)
    # "x509 -req" takes a negative validity, "req -x509" does not.
    openssl("x509", "-req", "-in", request, "-signkey", key, "-days", str(days), "-extfile", extension_file,
            "-out", cert.pem)
    with open(os.open(cert.password_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write(PASSWORD + "\n")
    openssl("pkcs12", "-export", "-inkey", key, "-in", cert.pem, "-passout", "file:" + cert.password_file,
            "-out", cert.p12)
    os.chmod(cert.p12, 0o600)
    return cert
