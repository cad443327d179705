#!/usr/bin/python3
# Writes the test certificates into a folder: a test CA (ca.crt) and, signed by it, a server
# certificate for localhost, 127.0.0.1 and ::1 (srv), one for another host (wrong) and an
# expired one (expired); plus two self-signed certificates for the pinning path (self1, self2).
import datetime
import ipaddress
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

folder = sys.argv[1]
now = datetime.datetime.now(datetime.timezone.utc)
day = datetime.timedelta(days=1)


def save(name, key, cert):
    with open(f"{folder}/{name}.key", "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                  serialization.NoEncryption()))
    with open(f"{folder}/{name}.crt", "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))


def make(name, subject, issuer_name, issuer_key, sans, start, end, ca=False):
    key = ec.generate_private_key(ec.SECP256R1())
    builder = (x509.CertificateBuilder()
               .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
               .issuer_name(issuer_name or x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(start).not_valid_after(end)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if ca:
        builder = builder.add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=True, crl_sign=True,
                                                      content_commitment=False, key_encipherment=False,
                                                      data_encipherment=False, key_agreement=False,
                                                      encipher_only=False, decipher_only=False), critical=True)
    else:
        builder = builder.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
    if sans:
        builder = builder.add_extension(x509.SubjectAlternativeName(sans), critical=False)
    cert = builder.sign(issuer_key or key, hashes.SHA256())
    save(name, key, cert)
    return key, cert


local = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
         x509.IPAddress(ipaddress.ip_address("::1"))]
ca_key, ca_cert = make("ca", "Kolvan Test CA", None, None, None, now - day, now + 3650 * day, ca=True)
make("srv", "localhost", ca_cert.subject, ca_key, local, now - day, now + 365 * day)
make("wrong", "other.invalid", ca_cert.subject, ca_key, [x509.DNSName("other.invalid")], now - day, now + 365 * day)
make("expired", "localhost", ca_cert.subject, ca_key, local, now - 30 * day, now - 2 * day)
make("self1", "localhost", None, None, local, now - day, now + 365 * day)
make("self2", "localhost", None, None, local, now - day, now + 365 * day)
