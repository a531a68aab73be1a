"""Authenticode signatures of a Windows image: taken off, laid on as osslsigncode
lays them, and checked against the certificates they carry.

The image's headers are read with pefile and the signature with asn1crypto,
strictly: only DER that re-encodes to the very same bytes is read at all, so
that no other reader can see in it what this one does not."""

import hashlib
import struct
from typing import NamedTuple

import pefile
from asn1crypto import algos, cms, core, parser
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

MAX_SIGNATURE_BYTES = 256 * 1024
SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2

SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
SPC_STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.11"
CONTENT_TYPE = "1.2.840.113549.1.9.3"
MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
SIGNED_ATTRIBUTES = {CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME, SPC_SP_OPUS_INFO,
                     SPC_STATEMENT_TYPE}
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
# An RFC 3161 time stamp and a PKCS #9 countersignature: carried, not checked.
TIME_STAMPS = {"1.3.6.1.4.1.311.3.3.1", "1.2.840.113549.1.9.6"}

DIGESTS = {"2.16.840.1.101.3.4.2.1": "sha256", "2.16.840.1.101.3.4.2.2": "sha384",
           "2.16.840.1.101.3.4.2.3": "sha512"}
HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
# Signature algorithms: the key's kind and the digest it names (None: the signer's).
SIGNATURES = {"1.2.840.113549.1.1.1": ("rsa", None),
              "1.2.840.113549.1.1.11": ("rsa", "sha256"),
              "1.2.840.113549.1.1.12": ("rsa", "sha384"),
              "1.2.840.113549.1.1.13": ("rsa", "sha512"),
              "1.2.840.10045.4.3.2": ("ecdsa", "sha256"),
              "1.2.840.10045.4.3.3": ("ecdsa", "sha384"),
              "1.2.840.10045.4.3.4": ("ecdsa", "sha512")}

# What a parser of pefile, asn1crypto or cryptography raises on input it refuses.
LIBRARY_ERRORS = (pefile.PEFormatError, ValueError, TypeError, KeyError, IndexError,
                  AttributeError, OverflowError, RecursionError, struct.error,
                  UnsupportedAlgorithm, x509.InvalidVersion)


class Broken(Exception):
    """A signature the check refuses, with the reason in plain words."""


class Signed(NamedTuple):
    algorithm: str  # "sha256", "sha384" or "sha512"
    digest: str  # the signed Authenticode digest, in hex
    subject: str  # the signer certificate's subject, RFC 4514
    time_stamped: bool
    certificates: tuple  # every certificate the signature carries, DER


# Authenticode's own structures, which asn1crypto does not know.

class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}),
                     ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString, {"optional": True}),
               ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]
    _oid_pair = ("type", "value")
    _oid_specs = {SPC_PE_IMAGE_DATA: SpcPeImageData}


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


class SpcSpOpusInfo(core.Sequence):
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]


# The certificate table, where the PE headers put it.

def pe_offsets(image):
    """(checksum's offset, security directory entry's offset, certificate table's
    offset and size) as pefile reads the headers."""
    pe = pefile.PE(data=image, fast_load=True)
    optional = pe.OPTIONAL_HEADER
    entry = optional.DATA_DIRECTORY[SECURITY_DIRECTORY]
    return (optional.get_field_absolute_offset("CheckSum"), entry.get_file_offset(),
            entry.VirtualAddress, entry.Size)


def signature_of(image):
    """The signature the image's one certificate table entry holds, with the
    padding after it, or None. It only chooses what is copied, so it never raises."""
    try:
        _, _, offset, size = pe_offsets(image)
    except LIBRARY_ERRORS:
        return None
    if size < 8 or offset % 8 or offset + size > len(image):
        return None
    length, revision, kind = struct.unpack_from("<IHH", image, offset)
    if (revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA
            or not 8 <= length <= size or length - 8 > MAX_SIGNATURE_BYTES):
        return None
    return image[offset + 8:offset + length]


def with_signature(image, blob):
    """The unsigned image with blob laid on as osslsigncode sign lays a signature."""
    checksum, security, offset, size = pe_offsets(image)
    if offset or size:
        raise ValueError("the image has a certificate table already")
    padded = image + bytes(-len(image) % 8)  # the table starts 8-aligned
    length = 8 + len(blob) + -len(blob) % 8  # osslsigncode counts its padding in
    signed = bytearray(padded + struct.pack("<IHH", length, WIN_CERT_REVISION_2_0,
                                            WIN_CERT_TYPE_PKCS_SIGNED_DATA)
                       + blob + bytes(-len(blob) % 8))
    struct.pack_into("<II", signed, security, len(padded), length)
    struct.pack_into("<I", signed, checksum,
                     pefile.PE(data=bytes(signed), fast_load=True).generate_checksum())
    return bytes(signed)


def authenticode_digest(image, algorithm):
    """The image's digest as Authenticode takes it: all of it but the checksum, the
    security directory entry and the certificate table."""
    checksum, security, offset, size = pe_offsets(image)
    end = offset if size else len(image)
    covered = image[:checksum] + image[checksum + 4:security] + image[security + 8:end]
    return hashlib.new(algorithm, covered).hexdigest()


# The check.

def check(image):
    """The signature's facts where it verifies against the certificates it carries;
    Broken where anything in it is refused."""
    try:
        return checked(image)
    except LIBRARY_ERRORS as error:
        raise Broken(f"the signature does not parse ({type(error).__name__})") from None


def checked(image):
    blob = signature_of(image)
    if blob is None:
        raise Broken("the image has no certificate table that holds a signature")
    _, _, offset, size = pe_offsets(image)
    if offset + size != len(image) or 8 + len(blob) != size:
        raise Broken("the image has no certificate table that holds one signature at its end")
    length = parser.peek(blob)
    if len(blob) - length >= 8 or any(blob[length:]):
        raise Broken("the signature is followed by other than its padding")
    signed_data, signer, indirect, stamped = read_der(blob[:length])
    digest = digest_name(signer["digest_algorithm"])
    if [digest_name(a) for a in signed_data["digest_algorithms"]] != [digest]:
        raise Broken("the signature's digest algorithms are not just its signer's")
    signed_digest = indirect["message_digest"]
    if digest_name(signed_digest["digest_algorithm"]) != digest:
        raise Broken("the image's digest is not taken with the signer's algorithm")
    if signed_digest["digest"].native.hex() != authenticode_digest(image, digest):
        raise Broken("the image's digest is not the one its signature holds")
    # Authenticode digests the content without its own tag and length.
    check_signed_attributes(signer, hashlib.new(digest, indirect.contents).digest())
    carried = certificates(signed_data)
    own = signer_certificate(signer, carried)
    kind, named = signature_kind(signer["signature_algorithm"])
    if named not in (None, digest):
        raise Broken("the signer's signature algorithm names another digest")
    verify(own[1].public_key(), kind, digest, signer["signature"].native,
           b"\x31" + signer["signed_attrs"].dump()[1:],  # signed as a SET OF, not [0]
           "the signer's signature")
    check_chain(own, carried)
    return Signed(digest, signed_digest["digest"].native.hex(), own[1].subject.rfc4514_string(),
                  stamped, tuple(c.dump() for c, _ in carried))


def read_der(der):
    """(signed data, its signer, its SpcIndirectDataContent, whether time-stamped),
    parsed whole, where der is signed data of a Windows image in DER."""
    info = cms.ContentInfo.load(der, strict=True)
    if info["content_type"].dotted != SIGNED_DATA:
        raise Broken("the signature is no signed data")
    signed_data = info["content"]
    if signed_data["version"].native != "v1":
        raise Broken("the signed data is not of version 1")
    signer = only(signed_data["signer_infos"], "signer")
    stamped = time_stamped(signer)  # first: a nested signature parses as nothing here
    encapsulated = signed_data["encap_content_info"]
    if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
        raise Broken("the signed data is no Authenticode content")
    indirect = encapsulated["content"].parse(SpcIndirectDataContent)
    if indirect["data"]["type"].dotted != SPC_PE_IMAGE_DATA:
        raise Broken("the signed content is not that of a Windows image")
    for attribute in signer["signed_attrs"]:
        if attribute["type"].dotted == SPC_SP_OPUS_INFO:
            for value in attribute["values"]:
                value.parse(SpcSpOpusInfo)
    info.native  # parses every part not parsed above
    # Re-encoding dumps the parts parsed above too: all of it is DER, or it differs.
    if info.dump(force=True) != der:
        raise Broken("the signature is not in DER")
    return signed_data, signer, indirect, stamped


def only(values, what):
    if len(values) != 1:
        raise Broken(f"the signature has other than one {what}")
    return values[0]


def without_parameters(algorithm):
    """The algorithm's identifier, where its parameters are absent or NULL."""
    if algorithm["parameters"].dump() not in (b"", b"\x05\x00"):
        raise Broken(f"the algorithm {algorithm['algorithm'].native} has parameters")
    return algorithm["algorithm"]


def digest_name(algorithm):
    """The hashlib name of a digest algorithm this check accepts."""
    identifier = without_parameters(algorithm)
    if identifier.dotted not in DIGESTS:
        raise Broken(f"the digest {identifier.native} is refused: only SHA-256, SHA-384 and"
                     " SHA-512 are accepted")
    return DIGESTS[identifier.dotted]


def signature_kind(algorithm):
    """(key's kind, digest named or None) of a signature algorithm this check accepts."""
    identifier = without_parameters(algorithm)
    if identifier.dotted not in SIGNATURES:
        raise Broken(f"the signature algorithm {identifier.native} is refused")
    return SIGNATURES[identifier.dotted]


def check_signed_attributes(signer, content_digest):
    """The signed attributes name Authenticode content and hold its digest."""
    attributes = {}
    for attribute in signer["signed_attrs"]:
        name = attribute["type"].dotted
        if name in attributes or name not in SIGNED_ATTRIBUTES:
            raise Broken(f"the signed attribute {name} is unknown or repeated")
        attributes[name] = only(attribute["values"], f"value of attribute {name}")
    if CONTENT_TYPE not in attributes or attributes[CONTENT_TYPE].dotted != SPC_INDIRECT_DATA:
        raise Broken("the signed attributes do not name Authenticode content")
    if MESSAGE_DIGEST not in attributes or attributes[MESSAGE_DIGEST].native != content_digest:
        raise Broken("the signed attributes do not hold the digest of what is signed")


def certificates(signed_data):
    """(asn1crypto, cryptography) of each certificate carried."""
    if signed_data["crls"].dump():
        raise Broken("the signature carries revocation lists")
    carried = []
    for choice in signed_data["certificates"]:
        if choice.name != "certificate":
            raise Broken("the signature carries other than X.509 certificates")
        carried.append((choice.chosen, x509.load_der_x509_certificate(choice.chosen.dump())))
    return carried


def signer_certificate(signer, carried):
    sid = signer["sid"]
    if signer["version"].native != "v1" or sid.name != "issuer_and_serial_number":
        raise Broken("the signer is not of version 1 named by issuer and serial number")
    named = [c for c in carried if c[0]["tbs_certificate"]["issuer"].dump() ==
             sid.chosen["issuer"].dump() and c[0]["tbs_certificate"]["serial_number"].dump()
             == sid.chosen["serial_number"].dump()]
    return only(named, "certificate of its signer")


def check_chain(certificate, carried):
    """Each certificate of the signer's chain is signed by the next one carried,
    up to one that signed itself, or to one whose issuer is not carried."""
    chain = [certificate]
    while True:
        issuers = issuers_of(certificate[0], carried)
        if not issuers:
            return
        issuer = only(issuers, "certificate of an issuer in the chain")
        check_certificate_signature(certificate, issuer)
        if issuer in chain:  # signed by itself
            return
        certificate = issuer
        chain.append(certificate)


def issuers_of(certificate, carried):
    """The carried certificates that claim to have issued it, by name or by key
    identifier: a name changed in a carried certificate then still finds the
    issuer that did not sign it so."""
    issuer = certificate["tbs_certificate"]["issuer"].dump()
    authority = certificate.authority_key_identifier
    return [c for c in carried if c[0]["tbs_certificate"]["subject"].dump() == issuer
            or authority is not None and c[0].key_identifier == authority]


def check_certificate_signature(certificate, issuer):
    kind, digest = signature_kind(certificate[0]["signature_algorithm"])
    if digest is None:
        raise Broken("a certificate's signature algorithm names no digest")
    verify(issuer[1].public_key(), kind, digest, certificate[0]["signature_value"].native,
           certificate[0]["tbs_certificate"].dump(), "a certificate's signature")


def verify(key, kind, digest, signature, data, what):
    try:
        if kind == "rsa" and isinstance(key, rsa.RSAPublicKey):
            key.verify(signature, data, padding.PKCS1v15(), HASHES[digest]())
        elif kind == "ecdsa" and isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signature, data, ec.ECDSA(HASHES[digest]()))
        else:
            raise Broken(f"the key for {what} is not of the kind its algorithm names")
    except InvalidSignature:
        raise Broken(f"{what} does not verify") from None


def time_stamped(signer):
    """Whether the unsigned attributes hold a time stamp, the only thing they may hold."""
    stamped = False
    for attribute in signer["unsigned_attrs"]:
        name = attribute["type"].dotted
        if name == NESTED_SIGNATURE:
            raise Broken("the signature carries a nested second signature, which is not checked")
        if name not in TIME_STAMPS:
            raise Broken(f"the signature carries the unknown unsigned attribute {name}")
        stamped = True
    return stamped
