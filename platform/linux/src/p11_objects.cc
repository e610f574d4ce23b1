// The index of each token's objects: certificates paired with keys into
// identities, checked against the token on every query.
#include <algorithm>
#include <tuple>

#include "p11_core.h"

namespace vellumark::linux_platform::p11 {

std::optional<bool> sameKey(const std::optional<Bytes>& certificateKey, const KeyFacts& key) {
  if (!certificateKey || key.modulus.empty() || key.exponent.empty()) return std::nullopt;
  return rsaPublicKeyDer(key.modulus, key.exponent) == *certificateKey;
}

std::vector<CK_OBJECT_HANDLE> findKeys(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                       CK_OBJECT_CLASS keyClass, const Bytes& ckaId, CK_RV& rv) {
  return findObjects(fn, session,
                     {{CKA_CLASS, &keyClass, sizeof keyClass},
                      {CKA_ID, const_cast<uint8_t*>(ckaId.data()), ckaId.size()}},
                     rv);
}

namespace {

std::optional<KeyFacts> readKeyFacts(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                     CK_OBJECT_HANDLE key) {
  auto values =
      attributes(fn, session, key,
                 std::array<CK_ATTRIBUTE_TYPE, 5>{CKA_KEY_TYPE, CKA_SIGN, CKA_ALWAYS_AUTHENTICATE,
                                                  CKA_MODULUS, CKA_PUBLIC_EXPONENT});
  auto keyType = scalar<CK_KEY_TYPE>(values[0]);
  if (!keyType) return std::nullopt;
  KeyFacts facts;
  facts.rsa = *keyType == CKK_RSA;
  facts.canSign = scalar<CK_BBOOL>(values[1]) == CK_TRUE;
  facts.alwaysAuthenticate = scalar<CK_BBOOL>(values[2]) == CK_TRUE;
  facts.modulus = values[3].value_or(Bytes{});
  facts.exponent = values[4].value_or(Bytes{});
  return facts;
}

}  // namespace

std::vector<CK_OBJECT_HANDLE> findObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                          std::vector<CK_ATTRIBUTE> pattern, CK_RV& rv) {
  std::vector<CK_OBJECT_HANDLE> found;
  rv = fn->C_FindObjectsInit(session, pattern.empty() ? nullptr : pattern.data(), pattern.size());
  if (rv != CKR_OK) return found;
  CK_OBJECT_HANDLE batch[32];
  for (;;) {
    CK_ULONG count = 0;
    rv = fn->C_FindObjects(session, batch, std::size(batch), &count);
    if (rv != CKR_OK || count == 0) break;
    found.insert(found.end(), batch, batch + count);
  }
  CK_RV finalRv = fn->C_FindObjectsFinal(session);
  if (rv == CKR_OK) rv = finalRv;
  return found;
}

std::vector<Pairing> ObjectIndex::identities(const Token& token) {
  Failure failure;
  auto session = registry_.session(token, failure);
  if (!session) return {};
  CK_FUNCTION_LIST* fn = token.module->fn();
  bool loggedIn = registry_.loggedIn(token, *session);
  // An NSS database without a password opens with the empty one.
  CK_UTF8CHAR empty[1] = {0};
  if (!loggedIn && token.nss && (token.flags & CKF_LOGIN_REQUIRED) &&
      fn->C_Login(*session, CKU_USER, empty, 0) == CKR_OK) {
    loggedIn = true;
  }
  bool keysVisible = loggedIn || !(token.flags & CKF_LOGIN_REQUIRED);

  CK_RV rv = CKR_OK;
  std::vector<CK_OBJECT_HANDLE> handles = findObjects(fn, *session, {}, rv);
  if (rv != CKR_OK) {
    if (sessionLost(rv)) registry_.dropSession(token.id);
    return {};
  }
  std::sort(handles.begin(), handles.end());

  uint64_t serial = registry_.sessionSerial(token.id);
  TokenObjects& kept = objects_[token.id];
  if (kept.sessionSerial != serial) {
    // Handles of another session name nothing here; certificates already
    // parsed are found again by their bytes.
    TokenObjects fresh;
    fresh.sessionSerial = serial;
    fresh.parsed = std::move(kept.parsed);
    kept = std::move(fresh);
  }
  if (handles == kept.handles && kept.loggedIn == keysVisible) return kept.identities;

  std::map<CK_OBJECT_HANDLE, ObjectRecord> records;
  bool complete = true;
  for (CK_OBJECT_HANDLE object : handles) {
    if (auto it = kept.records.find(object); it != kept.records.end()) {
      records.emplace(object, std::move(it->second));
      continue;
    }
    auto [classValue, id] =
        attributes(fn, *session, object, std::array<CK_ATTRIBUTE_TYPE, 2>{CKA_CLASS, CKA_ID});
    auto objectClass = scalar<CK_OBJECT_CLASS>(classValue);
    if (!objectClass) {
      // Unreadable now (gone meanwhile, say): read again next time.
      complete = false;
      continue;
    }
    ObjectRecord record;
    record.objectClass = *objectClass;
    record.id = id.value_or(Bytes{});
    if (*objectClass == CKO_CERTIFICATE && !record.id.empty()) {
      auto [type, der] = attributes(
          fn, *session, object, std::array<CK_ATTRIBUTE_TYPE, 2>{CKA_CERTIFICATE_TYPE, CKA_VALUE});
      if (scalar<CK_CERTIFICATE_TYPE>(type) == CKC_X_509 && der && !der->empty()) {
        auto known = kept.parsed.find(*der);
        record.cert =
            known != kept.parsed.end() ? known->second : parseCertificate(std::move(*der));
      }
    } else if (*objectClass == CKO_PRIVATE_KEY || *objectClass == CKO_PUBLIC_KEY) {
      record.key = readKeyFacts(fn, *session, object);
    }
    records.emplace(object, std::move(record));
  }
  kept.parsed.clear();
  for (const auto& [handle, record] : records) {
    if (record.cert) kept.parsed.emplace(record.cert->der, record.cert);
  }
  kept.records = std::move(records);
  kept.handles = complete ? std::move(handles) : std::vector<CK_OBJECT_HANDLE>{};
  kept.loggedIn = keysVisible;
  pair(kept, keysVisible);
  return kept.identities;
}

// Pairs certificates and keys by CKA_ID. Before login private keys may be
// hidden: then a public key with the same CKA_ID pairs, or, on a token that
// shows no keys at all, the certificate alone; the private key is found
// after login.
void ObjectIndex::pair(TokenObjects& objects, bool keysVisible) {
  std::map<Bytes, std::vector<CK_OBJECT_HANDLE>> privateKeys;
  std::map<Bytes, const KeyFacts*> publicKeys;
  for (const auto& [handle, record] : objects.records) {
    if (!record.key) continue;
    if (record.objectClass == CKO_PRIVATE_KEY) privateKeys[record.id].push_back(handle);
    if (record.objectClass == CKO_PUBLIC_KEY) publicKeys.emplace(record.id, &*record.key);
  }
  bool noKeysShown = privateKeys.empty() && publicKeys.empty();
  objects.identities.clear();
  for (const auto& [handle, record] : objects.records) {
    if (!record.cert || record.objectClass != CKO_CERTIFICATE) continue;
    const auto& certKey =
        record.cert->facts ? record.cert->facts->publicKey : std::optional<Bytes>();
    Pairing pairing;
    pairing.ckaId = record.id;
    pairing.cert = record.cert;
    pairing.sessionSerial = objects.sessionSerial;
    const KeyFacts* facts = nullptr;
    if (auto keys = privateKeys.find(record.id); keys != privateKeys.end()) {
      // Of several keys under one CKA_ID, the certificate's own.
      for (CK_OBJECT_HANDLE key : keys->second) {
        const KeyFacts& candidate = *objects.records.at(key).key;
        if (keys->second.size() == 1 || sameKey(certKey, candidate) == true) {
          pairing.key = key;
          facts = &candidate;
          break;
        }
      }
    } else if (auto publicKey = publicKeys.find(record.id);
               !keysVisible && publicKey != publicKeys.end()) {
      facts = publicKey->second;
    } else if (keysVisible || !noKeysShown) {
      continue;
    } else {
      pairing.certificateOnly = true;
    }
    if (certKey) {
      pairing.publicKey = *certKey;
    } else if (facts && facts->rsa && !facts->modulus.empty() && !facts->exponent.empty()) {
      // The certificate's key cannot be read: the key pair's own stands in.
      pairing.publicKey = rsaPublicKeyDer(facts->modulus, facts->exponent);
    }
    if (!pairing.publicKey.empty()) pairing.label = sha1(pairing.publicKey);
    pairing.consistent = !facts || sameKey(certKey, *facts) != false;
    objects.identities.push_back(std::move(pairing));
  }
  // A stable order: modules list objects in whatever order they like.
  std::sort(objects.identities.begin(), objects.identities.end(),
            [](const Pairing& a, const Pairing& b) {
              return std::tie(a.ckaId, a.cert->der) < std::tie(b.ckaId, b.cert->der);
            });
}

ObjectIndex::TokenObjects* ObjectIndex::objectsOf(const std::string& tokenId) {
  auto it = objects_.find(tokenId);
  if (it == objects_.end() || it->second.sessionSerial != registry_.sessionSerial(tokenId)) {
    return nullptr;
  }
  return &it->second;
}

std::optional<KeyFacts> ObjectIndex::keyFacts(const Token& token, CK_SESSION_HANDLE session,
                                              CK_OBJECT_HANDLE key) {
  if (TokenObjects* kept = objectsOf(token.id)) {
    auto it = kept->records.find(key);
    if (it != kept->records.end() && it->second.objectClass == CKO_PRIVATE_KEY) {
      return it->second.key;
    }
  }
  return readKeyFacts(token.module->fn(), session, key);
}

bool ObjectIndex::mechanismOffered(const Token& token) {
  TokenObjects* kept = objectsOf(token.id);
  if (kept && kept->mechanismOffered) return *kept->mechanismOffered;
  CK_MECHANISM_INFO mechanism{};
  bool offered =
      token.module->fn()->C_GetMechanismInfo(token.slot, CKM_RSA_PKCS, &mechanism) == CKR_OK &&
      (mechanism.flags & CKF_SIGN);
  if (kept) kept->mechanismOffered = offered;
  return offered;
}

}  // namespace vellumark::linux_platform::p11
