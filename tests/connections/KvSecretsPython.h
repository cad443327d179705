// The outside oracle for portable protection: Python's hashlib.pbkdf2_hmac and the AESGCM of
// python3-cryptography, written from the file layout alone.
#pragma once

#include <string>

namespace kv::test {

// "make OUT PASSKEY SALT_HEX NONCE_HEX ITERATIONS SECRET...": a connectors.json with a check
// value and one SSH connection per secret, every sealing under the one given nonce.
// "open FILE PASSKEY": prints the check's plain text, then each connection's secret, one per line,
// as JSON strings.
inline const char* KPortableOracle = R"PY(
import base64, hashlib, json, sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

def key_of(passkey, salt, iterations):
    return hashlib.pbkdf2_hmac("sha256", passkey.encode("utf-8"), salt, iterations, 32)

def seal(key, nonce, plain):
    sealed = AESGCM(key).encrypt(nonce, plain.encode("utf-8"), None)
    return base64.b64encode(nonce + sealed[-16:] + sealed[:-16]).decode("ascii")

def unseal(key, text):
    raw = base64.b64decode(text, validate=True)
    return AESGCM(key).decrypt(raw[:12], raw[28:] + raw[12:28], None).decode("utf-8")

if sys.argv[1] == "make":
    out, passkey, salt, nonce, iterations = sys.argv[2], sys.argv[3], bytes.fromhex(sys.argv[4]), bytes.fromhex(sys.argv[5]), int(sys.argv[6])
    key = key_of(passkey, salt, iterations)
    doc = {"version": 2, "passkey": True, "protection": "portable",
           "kdf": {"algorithm": "pbkdf2-sha256", "salt": base64.b64encode(salt).decode("ascii"), "iterations": iterations},
           "check": seal(key, nonce, "kolvan passkey check"), "folders": [], "connectors": []}
    for i, secret in enumerate(sys.argv[7:]):
        doc["connectors"].append({"id": "{00000000-0000-4000-8000-00000000000%d}" % i, "name": "c%d" % i,
                                  "kind": "ssh", "host": "h%d" % i, "user": "u", "savePassword": True,
                                  "secret": seal(key, nonce, secret)})
    open(out, "w", encoding="utf-8").write(json.dumps(doc, ensure_ascii=False))
else:
    doc = json.load(open(sys.argv[2], encoding="utf-8"))
    kdf = doc["kdf"]
    key = key_of(sys.argv[3], base64.b64decode(kdf["salt"]), kdf["iterations"])
    print(json.dumps(unseal(key, doc["check"])))
    for item in doc["connectors"]:
        print(json.dumps(unseal(key, item["secret"]) if "secret" in item else None))
)PY";

} // namespace kv::test
