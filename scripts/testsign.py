#!/usr/bin/env python3
"""Throw-away code-signing certificates and signed files, made at run time.

    testsign.py OUT_DIR INPUT.exe            the verification table (below)
    testsign.py --one OUT_DIR INPUT OUTPUT   just the root, the leaf and OUTPUT,
                                             INPUT signed by the leaf

Makes, in OUT_DIR, with openssl and osslsigncode (no key is kept anywhere
else): a root CA "Kavri Test Root" (root.der), a code-signing leaf
"Kavri Test Signer" under it (leaf.der), a second leaf "Other Signer" under
it, and a leaf of the same name under a second root that nobody trusts. Then
the files of the verification table:

    signed.exe      INPUT signed by the leaf (chain included)
    unsigned.exe    INPUT as it is
    codebyte.exe    signed.exe with one code byte changed
    sigbyte.exe     signed.exe with one byte of the signature value changed
    rewritten.exe   code changed and the signed image digest rewritten to match
    other.exe       signed by "Other Signer"
    untrusted.exe   signed by the leaf under the untrusted root

and pins.json: the SHA-256 of each certificate's DER encoding and of
unsigned.exe.
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(out, name, cn):
    key, crt = os.path.join(out, name + ".key"), os.path.join(out, name + ".crt")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", crt,
        "-days", "30", "-subj", "/CN=" + cn, "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, crt


def make_leaf(out, name, cn, ca_key, ca_crt):
    key, csr, crt = (os.path.join(out, name + e) for e in (".key", ".csr", ".crt"))
    ext = os.path.join(out, name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=" + cn)
    run("openssl", "x509", "-req", "-in", csr, "-CA", ca_crt, "-CAkey", ca_key, "-CAcreateserial",
        "-out", crt, "-days", "30", "-extfile", ext)
    return key, crt


def der(out, crt):
    path = crt[:-4] + ".der"
    run("openssl", "x509", "-in", crt, "-outform", "DER", "-out", path)
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def sign(src, dst, key, chain, out):
    bundle = os.path.join(out, "chain-%d.pem" % abs(hash(dst)))
    with open(bundle, "w") as b:
        for c in chain:
            with open(c) as f:
                b.write(f.read())
    if os.path.exists(dst):
        os.remove(dst)
    run("osslsigncode", "sign", "-certs", bundle, "-key", key, "-h", "sha256", "-in", src, "-out", dst)


def pe_layout(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (112 if magic == 0x20B else 96)
    sec = dirs + 4 * 8
    cert_off, cert_size = struct.unpack_from("<II", data, sec)
    text = struct.unpack_from("<I", data, pe + 24 + struct.unpack_from("<H", data, pe + 20)[0] + 20)[0]
    return opt + 64, sec, cert_off, cert_size, text


def image_hash(data):
    checksum, sec, cert_off, cert_size, _ = pe_layout(data)
    h = hashlib.sha256()
    h.update(data[:checksum])
    h.update(data[checksum + 4:sec])
    h.update(data[sec + 8:cert_off])
    h.update(data[cert_off + cert_size:])
    return h.digest()


def variant(src, dst, change):
    with open(src, "rb") as f:
        data = bytearray(f.read())
    change(data)
    with open(dst, "wb") as f:
        f.write(data)


def clean(out):
    for name in os.listdir(out):
        if name.endswith((".key", ".csr", ".ext", ".srl")) or name.startswith("chain-"):
            os.remove(os.path.join(out, name))


def main():
    one = sys.argv[1] == "--one"
    out, exe = sys.argv[1 + one], sys.argv[2 + one]
    os.makedirs(out, exist_ok=True)
    root_key, root = make_ca(out, "root", "Kavri Test Root")
    leaf_key, leaf = make_leaf(out, "leaf", "Kavri Test Signer", root_key, root)
    if one:
        der(out, root)
        sign(exe, sys.argv[4], leaf_key, [leaf, root], out)
        clean(out)
        return
    other_key, other = make_leaf(out, "other", "Other Signer", root_key, root)
    stray_key, stray = make_ca(out, "stray", "Kavri Stray Root")
    lone_key, lone = make_leaf(out, "lone", "Kavri Test Signer", stray_key, stray)
    pins = {name: der(out, crt) for name, crt in
            (("root", root), ("leaf", leaf), ("other", other), ("stray", stray), ("lone", lone))}

    f = lambda n: os.path.join(out, n)
    shutil.copyfile(exe, f("unsigned.exe"))
    sign(exe, f("signed.exe"), leaf_key, [leaf, root], out)
    sign(exe, f("other.exe"), other_key, [other, root], out)
    sign(exe, f("untrusted.exe"), lone_key, [lone, stray], out)

    with open(f("signed.exe"), "rb") as fh:
        signed = bytes(fh.read())
    _, _, cert_off, cert_size, text = pe_layout(signed)
    code_at = text + 0x40

    def codebyte(d):
        d[code_at] ^= 0xFF

    def sigbyte(d):
        length = struct.unpack_from("<I", d, cert_off)[0]
        d[cert_off + length - 12] ^= 0xFF

    def rewritten(d):
        old = image_hash(signed)
        d[code_at] ^= 0xFF
        at = bytes(d).find(old, cert_off)
        d[at:at + len(old)] = image_hash(bytes(d))

    variant(f("signed.exe"), f("codebyte.exe"), codebyte)
    variant(f("signed.exe"), f("sigbyte.exe"), sigbyte)
    variant(f("signed.exe"), f("rewritten.exe"), rewritten)
    with open(f("unsigned.exe"), "rb") as fh:
        pins["unsigned_file"] = hashlib.sha256(fh.read()).hexdigest()
    clean(out)
    with open(f("pins.json"), "w") as fh:
        json.dump(pins, fh, indent=1)


if __name__ == "__main__":
    main()
