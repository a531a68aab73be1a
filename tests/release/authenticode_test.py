"""Unit tests of tools/authenticode.py with Debian's Python: a small Windows image
made here, signed here with throwaway keys by openssl and osslsigncode, and each
signature read by the check and by `osslsigncode verify`, which must agree where
a signature is good and of which at least the check must refuse every other.

OSSLSIGNCODE names the osslsigncode programs to compare, separated by ':' (the
first one signs); without it, the one on PATH."""

import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from asn1crypto import algos, cms, core, parser, pem
from asn1crypto import x509 as asn1_x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
sys.dont_write_bytecode = True  # nothing cached in the source tree
import authenticode

PROGRAMS = os.environ.get("OSSLSIGNCODE", "osslsigncode").split(":")
SECURITY_ENTRY = 0x40 + 24 + 96 + 4 * 8  # in the image below
SHA256_RSA = bytes.fromhex("2a864886f70d01010b")
TIME_STAMP_TOKEN = "1.3.6.1.4.1.311.3.3.1"
ZIP_ENTRY = b"PK\3\4" + struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0, 0, 3, 3, 7, 0) + b"pwn.exeMZ!"
WORK = None


def pe32(tail=b""):
    """A PE32 image of one section whose code is a single ret: never run, only signed."""
    dos = bytearray(64)
    dos[:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x0102)
    optional = bytearray(224)  # data directories all empty
    struct.pack_into("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", optional, 0, 0x10B, 14, 0, 0x200, 0, 0,
                     0x1000, 0x1000, 0x2000, 0x400000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
                     0x2000, 0x200, 0, 3, 0x8140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    section = struct.pack("<8sIIIIIIHHI", b".text", 1, 0x1000, 0x200, 0x200, 0, 0, 0, 0,
                          0x60000020)
    headers = bytes(dos) + b"PE\0\0" + coff + bytes(optional) + section
    return headers.ljust(0x200, b"\0") + b"\xc3".ljust(0x200, b"\0") + tail


IMAGE = pe32()


def path(name):
    return os.path.join(WORK, name)


def run(*command):
    done = subprocess.run(command, cwd=WORK, stdin=subprocess.DEVNULL, capture_output=True)
    if done.returncode:
        raise AssertionError(f"{' '.join(command)} failed: {done.stderr.decode()[-2000:]}")
    return done.stdout


def openssl(*arguments):
    return run("openssl", *arguments)


def make_certificates():
    """Throwaway keys and certificates, each a KEY.key and a KEY.pem in WORK."""
    signer = ["-addext", "extendedKeyUsage=codeSigning"]
    ca = ["-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=keyCertSign"]
    rsa, ec = ["-newkey", "rsa:2048"], ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
    for name, subject, key, options in [
            ("rsa", "/CN=zarvel-uri test signer", rsa, signer + ["-set_serial", "4242"]),
            # the same issuer and serial as rsa's, another key
            ("impostor", "/CN=zarvel-uri test signer", rsa, signer + ["-set_serial", "4242"]),
            ("sha1", "/CN=zarvel-uri SHA-1 signer", rsa, signer + ["-sha1"]),
            ("ec", "/CN=zarvel-uri ECDSA signer", ec, signer),
            ("root", "/CN=zarvel-uri test root", rsa, ca),
            ("other-root", "/CN=zarvel-uri test root", rsa, ca),
            ("tsa", "/CN=zarvel-uri test time stamps", rsa,
             ["-addext", "extendedKeyUsage=critical,timeStamping"])]:
        openssl("req", "-x509", *key, "-nodes", "-days", "2", "-subj", subject, *options,
                "-keyout", f"{name}.key", "-out", f"{name}.pem")
    for name, issuer, extensions in [("intermediate", "root", "basicConstraints=critical,CA:true"),
                                     ("leaf", "intermediate", "extendedKeyUsage=codeSigning")]:
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN=zarvel-uri {name}",
                "-keyout", f"{name}.key", "-out", f"{name}.csr")
        with open(path(f"{name}.ext"), "w") as file:
            file.write(extensions + "\n")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{issuer}.pem", "-CAkey",
                f"{issuer}.key", "-set_serial", str(len(name)), "-days", "2", "-extfile",
                f"{name}.ext", "-out", f"{name}.pem")
    for name, parts in [("chain", ["leaf", "intermediate", "root"]),
                        ("short-chain", ["leaf", "intermediate"])]:
        with open(path(f"{name}.pem"), "wb") as file:
            for part in parts:
                with open(path(f"{part}.pem"), "rb") as certificate:
                    file.write(certificate.read())


COUNTER = iter(range(1 << 30))


def written(data):
    name = path("image.exe")
    with open(name, "wb") as file:
        file.write(data)
    return name


def sign(image=IMAGE, certificates="rsa", key="rsa", *options, program=None):
    """The image as osslsigncode signs it (where options give -h, the later one wins)."""
    signed = path(f"signed-{next(COUNTER)}.exe")
    run(program or PROGRAMS[0], "sign", "-h", "sha256", "-n", "zarvel-uri", *options, "-certs",
        f"{certificates}.pem", "-key", f"{key}.key", "-in", written(image), "-out", signed)
    with open(signed, "rb") as file:
        return file.read()


def osslsigncode_accepts(program, image, trusted):
    done = subprocess.run([program, "verify", "-CAfile", path(f"{trusted}.pem"), "-TSA-CAfile",
                           path("tsa.pem"), "-in", written(image)], cwd=WORK,
                          stdin=subprocess.DEVNULL, capture_output=True)
    return done.returncode == 0


def check_accepts(image):
    """Whether the check accepts the image; anything but Broken fails the test."""
    try:
        authenticode.check(image)
        return True
    except authenticode.Broken:
        return False


# Variants of a signature, made with asn1crypto.

def changed(blob, change):
    """The signature with its SignedData as change(signed data) leaves it; what it
    does not touch keeps its bytes, however they are encoded."""
    info = cms.ContentInfo.load(blob)
    signed_data = info["content"]
    change(signed_data)
    return cms.ContentInfo({"content_type": "signed_data", "content": signed_data}).dump()


def content_digest(content):
    return hashlib.sha256(content.contents).digest()


def resigned(blob, change, digest=content_digest):
    """The signature with its content and signed attributes as change(content,
    attributes) leaves them, its message digest taken anew and signed anew."""
    info = cms.ContentInfo.load(blob)
    signed_data = info["content"]
    encapsulated = signed_data["encap_content_info"]
    content = encapsulated["content"].parse(authenticode.SpcIndirectDataContent)
    signer = signed_data["signer_infos"][0]
    attributes = signer["signed_attrs"]
    change(content, attributes)
    encapsulated["content"] = content
    attribute(attributes, "message_digest")["values"] = [digest(content)]
    with open(path("rsa.key"), "rb") as file:
        key = serialization.load_pem_private_key(file.read(), None)
    signer["signature"] = key.sign(b"\x31" + attributes.dump(force=True)[1:],
                                   padding.PKCS1v15(), hashes.SHA256())
    return info.dump(force=True)


def attribute(attributes, name):
    return next(a for a in attributes if a["type"].native == name)


def loaded(name):
    with open(path(f"{name}.pem"), "rb") as file:
        return asn1_x509.Certificate.load(pem.unarmor(file.read())[2])


def padded_digest_identifier(signed_data):
    padded_sha256 = bytes.fromhex("060a60864801650304028001")  # its last arc as 0x80 0x01
    signed_data["digest_algorithms"][0]["algorithm"] = algos.DigestAlgorithmId.load(padded_sha256)


def sha512_digest_too(signed_data):
    signed_data["digest_algorithms"] = [{"algorithm": "sha256", "parameters": core.Null()},
                                        {"algorithm": "sha512", "parameters": core.Null()}]


def zip_entry_unsigned(signed_data):
    signed_data["signer_infos"][0]["unsigned_attrs"] = [
        {"type": "1.3.6.1.4.1.311.2.6.1", "values": [core.OctetString(ZIP_ENTRY)]}]


def signer_version_3(signed_data):
    signed_data["signer_infos"][0]["version"] = "v3"


def two_signers(signed_data):
    signed_data["signer_infos"] = [signed_data["signer_infos"][0]] * 2


def empty_revocation_lists(signed_data):
    signed_data["crls"] = []


def zip_entry_certificate(signed_data):
    signed_data["certificates"] = [*signed_data["certificates"], cms.CertificateChoices(
        "other", {"other_cert_format": "1.3.6.1.4.1.311.2.6.1",
                  "other_cert": core.OctetString(ZIP_ENTRY)})]


def sha384_signature_algorithm(signed_data):
    signed_data["signer_infos"][0]["signature_algorithm"] = {"algorithm": "sha384_rsa",
                                                             "parameters": core.Null()}


def ecdsa_parameters(signed_data):
    algorithm = signed_data["signer_infos"][0]["signature_algorithm"]
    algorithm["parameters"] = core.OctetString(ZIP_ENTRY)


def impostor_certificate(signed_data):
    signed_data["certificates"] = [loaded("impostor")]


def ecdsa_certificate_only(signed_data):
    signed_data["certificates"] = [loaded("ec")]


def other_root(signed_data):
    signed_data["certificates"] = [loaded("leaf"), loaded("intermediate"), loaded("other-root")]


def unchanged(content, attributes):
    pass


def cabinet_content(content, attributes):
    content["data"]["type"] = "1.3.6.1.4.1.311.2.1.25"


def sha512_image_digest(content, attributes):
    content["message_digest"] = {
        "digest_algorithm": {"algorithm": "sha512"},
        "digest": bytes.fromhex(authenticode.authenticode_digest(IMAGE, "sha512"))}


def plain_data_type(content, attributes):
    attribute(attributes, "content_type")["values"] = ["data"]


def zip_entry_signed(content, attributes):
    attributes.append({"type": "1.3.6.1.4.1.311.2.6.1", "values": [core.OctetString(ZIP_ENTRY)]})


def signing_time_twice(content, attributes):
    attributes.append(cms.CMSAttribute.load(attribute(attributes, "signing_time").dump()))


def time_stamped(blob, change=None):
    """The signature with an RFC 3161 time stamp, from openssl's own authority, over
    its signer's signature, as Authenticode carries one; its SignedData as change
    leaves it."""
    info = cms.ContentInfo.load(blob)
    signer = info["content"]["signer_infos"][0]
    with open(path("signature.bin"), "wb") as file:
        file.write(signer["signature"].native)
    with open(path("tsa.cnf"), "w") as file:
        file.write("[tsa]\ndefault_tsa = zarvel\n[zarvel]\nserial = tsa.serial\n"
                   "signer_digest = sha256\ndefault_policy = 1.3.6.1.4.1.4146.2.2\n"
                   "digests = sha256\ness_cert_id_alg = sha256\n")
    with open(path("tsa.serial"), "w") as file:
        file.write("01\n")
    openssl("ts", "-query", "-data", "signature.bin", "-sha256", "-cert", "-out", "query.tsq")
    openssl("ts", "-reply", "-config", "tsa.cnf", "-queryfile", "query.tsq", "-signer", "tsa.pem",
            "-inkey", "tsa.key", "-token_out", "-out", "token.der")
    with open(path("token.der"), "rb") as file:
        token = file.read()
    if change:
        token = changed(token, change)
    signer["unsigned_attrs"] = [{"type": TIME_STAMP_TOKEN, "values": [cms.ContentInfo.load(token)]}]
    return cms.ContentInfo({"content_type": "signed_data", "content": info["content"]}).dump()


def patched(blob, old, new, offset=0):
    """blob with the first old from offset on replaced by new."""
    at = blob.index(old, offset)
    return blob[:at] + new + blob[at + len(old):]


def with_directory(image, offset, size):
    return image[:SECURITY_ENTRY] + struct.pack("<II", offset, size) + image[SECURITY_ENTRY + 8:]


def setUpModule():
    global WORK
    WORK = tempfile.mkdtemp(prefix="authenticode-test-")
    make_certificates()


def tearDownModule():
    shutil.rmtree(WORK)


class LayoutTest(unittest.TestCase):
    def test_a_signature_is_laid_on_as_osslsigncode_lays_it(self):
        for program in PROGRAMS:
            for image in (IMAGE, pe32(tail=b"odd"), pe32(tail=bytes(7))):
                for signer in ("rsa", "ec"):
                    with self.subTest(program=program, size=len(image), signer=signer):
                        signed = sign(image, signer, signer, program=program)
                        blob = authenticode.signature_of(signed)
                        self.assertEqual(authenticode.with_signature(image, blob), signed)
                        self.assertTrue(check_accepts(signed))

    def test_the_digest_is_osslsigncode_s_and_covers_all_but_checksum_entry_and_table(self):
        signed = sign()
        digest = authenticode.authenticode_digest(signed, "sha256")
        for program in PROGRAMS:
            with self.subTest(program=program):
                said = run(program, "verify", "-CAfile", "rsa.pem", "-in", written(signed))
                self.assertIn(f"Calculated message digest : {digest.upper()}", said.decode())
        zero_checksum = signed[:0x58 + 64] + bytes(4) + signed[0x58 + 68:]
        self.assertEqual(authenticode.authenticode_digest(zero_checksum, "sha256"), digest)
        self.assertEqual(authenticode.authenticode_digest(IMAGE, "sha256"), digest)
        self.assertNotEqual(authenticode.authenticode_digest(IMAGE + b"\0", "sha256"), digest)


class SignatureOfTest(unittest.TestCase):
    def test_what_holds_no_plausible_signature_gives_none(self):
        signed = sign()
        offset, size = struct.unpack_from("<II", signed, SECURITY_ENTRY)
        header, blob = signed[offset:offset + 8], signed[offset + 8:]
        unaligned = pe32(tail=b"odd")
        cases = [
            ("an unsigned image", IMAGE), ("nothing", b""), ("two bytes", b"MZ"),
            ("zeros", bytes(4096)), ("text", b"MZ is not all it takes\n" * 40),
            ("a header beyond the end", b"MZ" + bytes(58) + struct.pack("<I", 1 << 20)),
            ("a table past the end", with_directory(signed, offset + 8, size)),
            ("a table that ends past the end", with_directory(signed, offset, size + 8)),
            ("a table not 8-aligned", with_directory(unaligned + header + blob, len(unaligned),
                                                    size)),
            ("a table smaller than its header", with_directory(signed, offset, 7)),
            ("a table of four bytes at the end", with_directory(IMAGE + bytes(4), len(IMAGE), 4)),
            ("a revision 1 entry", patched(signed, header, header[:4] + b"\0\1\2\0")),
            ("an X.509 entry", patched(signed, header, header[:4] + b"\0\2\1\0")),
            ("an entry shorter than its header", patched(signed, header, b"\7\0\0\0" + header[4:])),
            ("an entry longer than its table",
             patched(signed, header, struct.pack("<I", size + 1) + header[4:])),
            ("a signature larger than a signature gets",
             authenticode.with_signature(IMAGE, bytes(authenticode.MAX_SIGNATURE_BYTES + 8))),
        ] + [(f"cut to {length} bytes", signed[:length]) for length in range(len(signed))]
        for what, image in cases:
            with self.subTest(what):
                self.assertIsNone(authenticode.signature_of(image))

    def test_the_entry_is_taken_whole_with_its_padding(self):
        signed = sign()
        offset, size = struct.unpack_from("<II", signed, SECURITY_ENTRY)
        self.assertEqual(authenticode.signature_of(signed), signed[offset + 8:])
        largest = bytes(authenticode.MAX_SIGNATURE_BYTES)
        self.assertEqual(authenticode.signature_of(authenticode.with_signature(IMAGE, largest)),
                         largest)


class CheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.signed = sign()
        cls.blob = authenticode.signature_of(cls.signed)

    def laid_on(self, blob):
        return authenticode.with_signature(IMAGE, blob)

    def rows(self):
        """(what, image, whose certificate osslsigncode is to trust, and for a good
        signature (algorithm, subject, whether time-stamped, the certificates'
        names), for any other words of the check's refusal)."""
        blob, laid_on = self.blob, self.laid_on
        der = blob[:parser.peek(blob)]
        chain = authenticode.signature_of(sign(IMAGE, "chain", "leaf"))
        ecdsa = authenticode.signature_of(sign(IMAGE, "ec", "ec"))
        image_changed = bytearray(self.signed)
        image_changed[0x200] ^= 1  # the code
        rsa = ("CN=zarvel-uri test signer", False, ["rsa"])
        leaf = ("CN=zarvel-uri leaf", False)
        return [
            ("RSA", self.signed, "rsa", ("sha256", *rsa)),
            ("RSA, SHA-512", sign(IMAGE, "rsa", "rsa", "-h", "sha512"), "rsa", ("sha512", *rsa)),
            ("ECDSA", sign(IMAGE, "ec", "ec"), "ec",
             ("sha256", "CN=zarvel-uri ECDSA signer", False, ["ec"])),
            ("a chain up to its root", laid_on(chain), "root",
             ("sha256", *leaf, ["leaf", "intermediate", "root"])),
            ("a chain below a root it does not carry", sign(IMAGE, "short-chain", "leaf"), "root",
             ("sha256", *leaf, ["leaf", "intermediate"])),
            ("time-stamped", laid_on(time_stamped(blob)), "rsa",
             ("sha256", "CN=zarvel-uri test signer", True, ["rsa"])),
            ("digested and signed anew here", laid_on(resigned(blob, unchanged)), "rsa",
             ("sha256", *rsa)),
            # what the signer did not sign
            ("the image changed", bytes(image_changed), "rsa", "digest is not the one"),
            ("a padded object identifier", laid_on(changed(blob, padded_digest_identifier)),
             "rsa", "not in DER"),
            ("signed data of version 3", laid_on(patched(blob, b"\2\1\1", b"\2\1\3")),
             "rsa", "signed data is not of version 1"),
            ("other than signed data", laid_on(patched(
                blob, bytes.fromhex("2a864886f70d010702"), bytes.fromhex("2a864886f70d010701"))),
             "rsa", "no signed data"),
            ("SHA-384 as the digest algorithm", laid_on(patched(
                blob, bytes.fromhex("608648016503040201"), bytes.fromhex("608648016503040202"))),
             "rsa", "digest algorithms are not just its signer's"),
            ("SHA-512 among the digest algorithms too", laid_on(changed(blob, sha512_digest_too)),
             "rsa", "digest algorithms are not just its signer's"),
            ("the content named other than Authenticode's", laid_on(patched(
                blob, bytes.fromhex("2b060104018237020104"),
                bytes.fromhex("2b060104018237020105"))), "rsa", "no Authenticode content"),
            ("a time stamp not in DER", laid_on(time_stamped(blob, padded_digest_identifier)),
             "rsa", "not in DER"),
            ("a zip entry header in an unsigned attribute", laid_on(changed(
                blob, zip_entry_unsigned)), "rsa",
             "unknown unsigned attribute 1.3.6.1.4.1.311.2.6.1"),
            ("osslsigncode's unauthenticated blob",
             sign(IMAGE, "rsa", "rsa", "-addUnauthenticatedBlob"), "rsa",
             "unknown unsigned attribute"),
            ("a signer of version 3", laid_on(changed(blob, signer_version_3)), "rsa",
             "signer is not of version 1"),
            ("two signers", laid_on(changed(blob, two_signers)), "rsa", "other than one signer"),
            ("revocation lists", laid_on(changed(blob, empty_revocation_lists)), "rsa",
             "revocation lists"),
            ("SHA-1", sign(IMAGE, "rsa", "rsa", "-h", "sha1"), "rsa", "digest sha1 is refused"),
            ("a certificate signed with SHA-1", sign(IMAGE, "sha1", "sha1"), "sha1",
             "signature algorithm sha1_rsa is refused"),
            ("a nested signature", sign(self.signed, "ec", "ec", "-nest"), "rsa",
             "nested second signature"),
            ("a certificate of the signer's issuer and serial but another key",
             laid_on(changed(blob, impostor_certificate)), "impostor",
             "signer's signature does not verify"),
            ("no certificate of the signer", laid_on(changed(blob, ecdsa_certificate_only)),
             "rsa", "other than one certificate of its signer"),
            ("a certificate of version 4", laid_on(patched(
                blob, b"\xa0\3\2\1\2", b"\xa0\3\2\1\3")), "rsa", "does not parse"),
            ("the signer's certificate with its subject changed", laid_on(patched(
                blob, b"test signer", b"test signeR", blob.index(b"test signer") + 1)),
             "rsa", "certificate's signature does not verify"),
            ("zip entry bytes as a certificate of another format",
             laid_on(changed(blob, zip_entry_certificate)), "rsa", "other than X.509"),
            ("a signature algorithm naming SHA-384 for a SHA-256 signer",
             laid_on(changed(blob, sha384_signature_algorithm)), "rsa", "names another digest"),
            ("parameters in the ECDSA signature algorithm",
             laid_on(changed(ecdsa, ecdsa_parameters)), "ec", "sha256_ecdsa has parameters"),
            ("a certificate signed with an algorithm that names no digest", laid_on(patched(
                blob, SHA256_RSA, bytes.fromhex("2a864886f70d010101"), blob.index(SHA256_RSA) + 1)),
             "rsa", "names no digest"),
            ("a chain up to another root of its root's name", laid_on(changed(chain, other_root)),
             "root", "certificate's signature does not verify"),
            # what the signer signed, but not as Authenticode signs an image
            ("content of a cabinet", laid_on(resigned(blob, cabinet_content)), "rsa",
             "not that of a Windows image"),
            ("the image digested with SHA-512 by a SHA-256 signer",
             laid_on(resigned(blob, sha512_image_digest)), "rsa",
             "not taken with the signer's algorithm"),
            ("the content digested with its tag and length", laid_on(resigned(
                blob, unchanged, digest=lambda content: hashlib.sha256(content.dump()).digest())),
             "rsa", "do not hold the digest of what is signed"),
            ("signed attributes naming plain data", laid_on(resigned(blob, plain_data_type)),
             "rsa", "do not name Authenticode content"),
            ("an unknown signed attribute", laid_on(resigned(blob, zip_entry_signed)), "rsa",
             "signed attribute 1.3.6.1.4.1.311.2.6.1 is unknown or repeated"),
            ("a signing time given twice", laid_on(resigned(blob, signing_time_twice)), "rsa",
             "signed attribute 1.2.840.113549.1.9.5 is unknown or repeated"),
            # what is not one signature in DER
            ("bytes after the certificate table", self.signed + bytes(8), "rsa",
             "one signature at its end"),
            ("a certificate table larger than its entry", with_directory(
                self.signed + bytes(8), len(IMAGE), len(blob) + 16), "rsa",
             "one signature at its end"),
            ("indefinite lengths", laid_on(b"\x30\x80" + der[4:] + b"\0\0"), "rsa",
             "not in DER"),
            ("a byte after the signature", laid_on(der + b"\1"), "rsa", "followed by other"),
            ("eight zero bytes after the signature", laid_on(der + bytes(8)), "rsa",
             "followed by other"),
            ("nothing", laid_on(b""), "rsa", "does not parse"),
            ("a zip entry header", laid_on(ZIP_ENTRY), "rsa", "does not parse"),
            ("random bytes", laid_on(random.Random(1).randbytes(1500)), "rsa", "does not parse"),
        ] + [(f"cut to {length} bytes", laid_on(der[:length]), "rsa", "does not parse")
             for length in (1, 4, 19, len(der) // 2)] + [
            # the padding then stands for the signature's last byte
            ("its last byte cut", laid_on(der[:-1]), "rsa", "signer's signature does not verify")]

    def test_rows(self):
        table = []
        for what, image, trusted, expected in self.rows():
            with self.subTest(what):
                verdicts = [osslsigncode_accepts(p, image, trusted) for p in PROGRAMS]
                try:
                    signed = authenticode.check(image)
                    table.append((what, "accepts", verdicts))
                    self.assertIsInstance(expected, tuple, f"{what} is accepted")
                    self.assertTrue(all(verdicts), f"{what}: osslsigncode refuses")
                    algorithm, subject, stamped, names = expected
                    self.assertEqual(signed, (
                        algorithm, authenticode.authenticode_digest(image, algorithm), subject,
                        stamped, signed.certificates))
                    self.assertEqual(sorted(signed.certificates),
                                     sorted(loaded(name).dump() for name in names))
                except authenticode.Broken as refusal:
                    table.append((what, "refuses", verdicts))
                    self.assertIsInstance(expected, str, f"{what} is refused: {refusal}")
                    self.assertIn(expected, str(refusal))
        print(f"\n{'':<64} check    " + " ".join(PROGRAMS), file=sys.stderr)
        for what, verdict, verdicts in table:
            words = " ".join("accepts" if v else "refuses" for v in verdicts)
            print(f"{what:<64} {verdict}  {words}", file=sys.stderr)


    def test_no_flipped_byte_is_accepted_that_osslsigncode_refuses(self):
        """Every byte of the signature flipped in turn: where the check accepts,
        osslsigncode must too. It is asked there, and, to show that the two agree,
        over the signed data's header and the signer's fixed fields (all of it
        would take too long)."""
        blob = self.blob
        signed_data = cms.ContentInfo.load(blob[:parser.peek(blob)])["content"]
        signer = signed_data["signer_infos"][0]
        signer_at = blob.index(signer.dump())
        asked = {*range(blob.index(signed_data["encap_content_info"].dump())),
                 *range(signer_at, blob.index(signer["signed_attrs"].dump(), signer_at))}
        accepted, disagreeing = [], []
        for mask in (0x01, 0x80):
            for offset in range(len(blob)):
                image = self.laid_on(patched(blob, blob[offset:offset + 1],
                                             bytes([blob[offset] ^ mask]), offset=offset))
                if check_accepts(image):
                    accepted.append((offset, mask))
                if accepted[-1:] == [(offset, mask)] or offset in asked:
                    refusing = [p for p in PROGRAMS if not osslsigncode_accepts(p, image, "rsa")]
                    if refusing and accepted[-1:] == [(offset, mask)]:
                        disagreeing.append((offset, mask, refusing))
        self.assertEqual(disagreeing, [], f"accepted by the check: {accepted}")

    def test_every_cut_is_refused(self):
        der = self.blob[:parser.peek(self.blob)]
        for length in range(len(der)):
            with self.subTest(length=length):
                self.assertFalse(check_accepts(self.laid_on(der[:length])))
        for length in range(len(self.signed)):
            with self.subTest(image_length=length):
                self.assertFalse(check_accepts(self.signed[:length]))


if __name__ == "__main__":
    unittest.main()
