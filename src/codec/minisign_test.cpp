#include "codec/minisign.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scratch_dir.h"

namespace dizedir::minisign {
namespace {

// Made once with the minisign tool (0.11): `minisign -G -W`, then the
// message below signed as it signs by default (prehashed) and with -l
// (legacy), so these hold on every platform without the tool.
constexpr char kMessage[] = "dizedir release 1.2.3\n";
constexpr char kPublicKey[] =
    "untrusted comment: minisign public key F8D7D365CD287016\n"
    "RWQWcCjNZdPX+NMeusNnZ7bnsF1Yxm7tpUvxNoX+advaSJ3KI/+J7D/D\n";
constexpr char kKeyIdHex[] = "F8D7D365CD287016";
constexpr char kPrehashedSignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RUQWcCjNZdPX+IaWcm06QMZKivnibecbFeEuYElQwQi6t7jTGhyDxRMLJam0stjobYorjK1+xajB1hHvIZ3i4/"
    "OJnAjYFEqczgg=\n"
    "trusted comment: timestamp:1700000000\tfile:m.txt\tprehashed\n"
    "k9r3CmSDnLAaukCp6GHmoPOWn65ySiClsQjv1DUKdA5LShAA/HbErK4CLTYOoAnBi33g9KMFfeym/EsCHXOTDQ==\n";
constexpr char kLegacySignature[] =
    "untrusted comment: signature from minisign secret key\n"
    "RWQWcCjNZdPX+JxZmmJdf/oiwb3lmVQSIGUbUe9y7hV3GXP81/krY551BxgO/ctkqqccWbfcPPpx43Ia5nn8sKSUWJ0yFn8DXAc=\n"
    "trusted comment: timestamp:1700000000\tfile:m.txt\tlegacy\n"
    "yShj9xj7oBqXrRPz6l71ts6gKAgCU/hvCFBp3miKwafTo9JwHJPogNtcpPpEWzvnruGK5BrbRCQlO3lHd326Bg==\n";
// Another key of the tool's given the key id above: the id matches, the
// key does not.
constexpr char kOtherPublicKey[] =
    "RWQWcCjNZdPX+DZimMNu4cUykNpefZjpIo1rWIfsDGNd5GDBAxaOv008\n";

// The tool's signatures verify, and each change to what they cover is
// refused with its own reason.
TEST(MinisignTest, ToolSignaturesVerify) {
  PublicKey key;
  ASSERT_TRUE(ParsePublicKey(kPublicKey, &key).ok());
  EXPECT_EQ(KeyIdHex(key.key_id), kKeyIdHex);
  PublicKey other;
  ASSERT_TRUE(ParsePublicKey(kOtherPublicKey, &other).ok());

  struct Case {
    const char* name;
    const char* signature;
    std::string message;
    std::string trusted_comment;  // replaces the signed one when not empty
    const PublicKey* key;
    const char* reason;  // empty when it must verify
  };
  const Case cases[] = {
      {"prehashed", kPrehashedSignature, kMessage, "", &key, ""},
      {"legacy", kLegacySignature, kMessage, "", &key, ""},
      {"prehashed, a byte changed", kPrehashedSignature, "dizedir release 1.2.4\n", "", &key,
       "signature does not match the file"},
      {"legacy, a byte changed", kLegacySignature, "dizedir release 1.2.4\n", "", &key,
       "signature does not match the file"},
      {"prehashed, empty file", kPrehashedSignature, "", "", &key,
       "signature does not match the file"},
      {"trusted comment changed", kPrehashedSignature, kMessage,
       "timestamp:1700000001\tfile:m.txt\tprehashed", &key, "bad global signature"},
      {"same key id, another key", kPrehashedSignature, kMessage, "", &other,
       "bad global signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Signature signature;
    ASSERT_TRUE(ParseSignature(c.signature, &signature).ok());
    EXPECT_EQ(signature.key_id, key.key_id);
    if (!c.trusted_comment.empty()) signature.trusted_comment = c.trusted_comment;
    ScratchDir dir("minisign");
    ASSERT_TRUE(dir.Write("m.txt", c.message));
    const Status s = VerifyFile(Env::Default(), dir.Path("m.txt"), *c.key, signature);
    if (*c.reason == '\0') {
      EXPECT_TRUE(s.ok()) << s.ToString();
    } else {
      EXPECT_FALSE(s.ok());
      EXPECT_NE(s.message().find(c.reason), std::string::npos) << s.ToString();
    }
  }
}

TEST(MinisignTest, ParseRefusals) {
  struct Case {
    const char* name;
    std::string text;
    const char* reason;
  };
  const std::string sig = kPrehashedSignature;
  const size_t line2 = sig.find('\n') + 1;
  const Case cases[] = {
      {"three lines", sig.substr(0, sig.rfind('\n', sig.size() - 2) + 1), "expected 4 lines"},
      {"no untrusted comment", "x" + sig, "not an untrusted comment"},
      {"bad base64", sig.substr(0, line2) + "*" + sig.substr(line2 + 1), "bad base64"},
      {"short signature line", sig.substr(0, line2) + "RUQWcCjN" + sig.substr(sig.find('\n', line2)),
       "bytes where 74 were expected"},
      {"oversized", sig + std::string(kMaxSignatureFileBytes, 'x'), "file too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Signature signature;
    const Status s = ParseSignature(c.text, &signature);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find(c.reason), std::string::npos) << s.ToString();
  }
  PublicKey key;
  EXPECT_FALSE(ParsePublicKey("untrusted comment: x\nRWQWcCjN\n", &key).ok());
  EXPECT_FALSE(ParsePublicKey("comment\nRWQWcCjNZdPX+NMeusNnZ7bnsF1Yxm7tpUvxNoX+advaSJ3KI/+J7D/D\n",
                              &key)
                   .ok());
}

// Keys generated here (the platform's random source), stored encrypted
// (scrypt) and read back, sign what the tool's format checks.
TEST(MinisignTest, GeneratedKeySignsAndVerifies) {
  PublicKey pub;
  SecretKey secret;
  ASSERT_TRUE(GenerateKeyPair(&pub, &secret).ok());
  PublicKey second_pub;
  SecretKey second;
  ASSERT_TRUE(GenerateKeyPair(&second_pub, &second).ok());
  EXPECT_NE(pub.key, second_pub.key);
  EXPECT_NE(pub.key_id, second_pub.key_id);

  std::string text;
  ASSERT_TRUE(FormatSecretKey(secret, "pw", InteractiveKdfLimits(), &text).ok());
  SecretKey wrong;
  EXPECT_NE(ParseSecretKey(text, "pW", &wrong).message().find("wrong password"),
            std::string::npos);
  SecretKey read;
  ASSERT_TRUE(ParseSecretKey(text, "pw", &read).ok());
  EXPECT_EQ(read.key, secret.key);

  ScratchDir dir("minisign_sign");
  ASSERT_TRUE(dir.Write("f", std::string(70000, 'q')));
  Signature signature;
  ASSERT_TRUE(SignFile(Env::Default(), dir.Path("f"), read, "seq 7", &signature).ok());
  Signature parsed;
  ASSERT_TRUE(ParseSignature(FormatSignature(signature), &parsed).ok());
  PublicKey parsed_pub;
  ASSERT_TRUE(ParsePublicKey(FormatPublicKey(pub), &parsed_pub).ok());
  EXPECT_TRUE(VerifyFile(Env::Default(), dir.Path("f"), parsed_pub, parsed).ok());
  EXPECT_FALSE(VerifyFile(Env::Default(), dir.Path("f"), second_pub, parsed).ok());
}

}  // namespace
}  // namespace dizedir::minisign
