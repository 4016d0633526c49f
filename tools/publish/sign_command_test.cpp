#include "tools/publish/sign_command.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace dizedir::publish {
namespace {

constexpr char kPassword[] = "correct horse";

bool HaveMinisign() { return std::system("command -v minisign >/dev/null 2>&1") == 0; }

// Runs a shell command with `input` on its standard input; true on exit 0.
bool Shell(const std::string& command, const std::string& input = "") {
  const std::string line =
      "printf '%s' '" + input + "' | " + command + " >/dev/null 2>&1";
  return std::system(line.c_str()) == 0;
}

std::string B64(const std::vector<uint8_t>& bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), 0);
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();
  return out;
}

std::vector<uint8_t> Unb64(const std::string& text) {
  std::vector<uint8_t> out(text.size());
  size_t len = 0;
  sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &len,
                    nullptr, sodium_base64_VARIANT_ORIGINAL);
  out.resize(len);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

int Keygen(const ScratchDir& dir, const std::string& sub, bool encrypted) {
  KeygenCommand c;
  c.out_dir = dir.Path(sub);
  c.unencrypted = !encrypted;
  c.limits = minisign::InteractiveKdfLimits();
  std::istringstream in(std::string(kPassword) + "\n");
  std::ostringstream out, err;
  return RunKeygen(Env::Default(), c, in, out, err);
}

int Sign(const ScratchDir& dir, const std::string& file, const std::string& key,
         const std::string& comment = "") {
  SignCommand c;
  c.file = dir.Path(file);
  c.secret_key = key;
  c.trusted_comment = comment;
  std::istringstream in(std::string(kPassword) + "\n");
  std::ostringstream out, err;
  return RunSign(Env::Default(), c, in, out, err);
}

// Exit code and error text of check-signature.
std::pair<int, std::string> Check(const ScratchDir& dir, const std::string& file,
                                  const std::string& pub) {
  std::ostringstream out, err;
  const int rc = RunCheckSignature(Env::Default(), dir.Path(file), pub, out, err);
  return {rc, err.str()};
}

// Keys made by either tool, files signed by either, each checked by both.
TEST(SignInteropTest, BothToolsAgree) {
  if (!HaveMinisign()) GTEST_SKIP() << "minisign is not installed";
  struct Case {
    const char* name;
    bool keys_by_minisign;
    bool encrypted;
    bool signed_by_minisign;
    bool legacy;  // minisign -l: the raw file signed, no prehash
  };
  const Case cases[] = {
      {"minisign keys, minisign signs", true, false, true, false},
      {"minisign encrypted keys, minisign signs", true, true, true, false},
      {"minisign keys, legacy signature", true, false, true, true},
      {"minisign keys, dizedir signs", true, false, false, false},
      {"minisign encrypted keys, dizedir signs", true, true, false, false},
      {"dizedir keys, dizedir signs", false, false, false, false},
      {"dizedir encrypted keys, minisign signs", false, true, true, false},
      {"dizedir encrypted keys, dizedir signs", false, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir("sign_interop");
    std::string pub = dir.Path("k/dizedir.pub"), key = dir.Path("k/dizedir.key");
    const std::string pw = std::string(kPassword) + "\n";
    if (c.keys_by_minisign) {
      std::filesystem::create_directories(dir.Path("k"));
      ASSERT_TRUE(Shell("minisign -G " + std::string(c.encrypted ? "" : "-W ") +
                            "-p " + pub + " -s " + key,
                        c.encrypted ? pw + pw : ""));
    } else {
      ASSERT_EQ(Keygen(dir, "k", c.encrypted), 0);
    }
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(dir.Write("release.manifest", data));
    const std::string file = dir.Path("release.manifest");
    if (c.signed_by_minisign) {
      ASSERT_TRUE(Shell("minisign -S " + std::string(c.legacy ? "-l " : "") + "-s " +
                            key + " -m " + file + " -t 'line 7 seq 42'",
                        c.encrypted ? pw : ""));
    } else {
      ASSERT_EQ(Sign(dir, "release.manifest", key, "line 7 seq 42"), 0);
    }
    const auto [rc, why] = Check(dir, "release.manifest", pub);
    EXPECT_EQ(rc, 0) << why;
    EXPECT_TRUE(Shell("minisign -V -p " + pub + " -m " + file));
    // Both tools read the trusted comment the same way.
    EXPECT_TRUE(Shell("minisign -V -p " + pub + " -m " + file +
                      " | grep -qx 'Trusted comment: line 7 seq 42'"));
  }
}

// Each forgery or damage is refused with its own reason.
TEST(SignTamperTest, RefusedWithItsReason) {
  struct Case {
    const char* name;
    std::function<void(const ScratchDir&, std::string* pub)> tamper;
    const char* reason;
  };
  auto edit_sig = [](const ScratchDir& d, const std::function<void(std::vector<std::string>*)>& f) {
    std::vector<std::string> lines = Lines(d.Read("file.bin.minisig"));
    f(&lines);
    d.Write("file.bin.minisig", Join(lines));
  };
  const Case cases[] = {
      {"untouched", [](const ScratchDir&, std::string*) {}, ""},
      {"a byte of the file",
       [](const ScratchDir& d, std::string*) {
         std::string data = d.Read("file.bin");
         data[5000] ^= 1;
         d.Write("file.bin", data);
       },
       "signature does not match the file"},
      {"trusted comment",
       [&](const ScratchDir& d, std::string*) {
         edit_sig(d, [](auto* l) { (*l)[2] = "trusted comment: seq 43"; });
       },
       "bad global signature"},
      {"another key",
       [](const ScratchDir& d, std::string* pub) {
         ASSERT_EQ(Keygen(d, "other", false), 0);
         *pub = d.Path("other/dizedir.pub");
       },
       "not by the trusted key"},
      {"same key id, another key",
       [](const ScratchDir& d, std::string* pub) {
         ASSERT_EQ(Keygen(d, "other", false), 0);
         std::vector<std::string> mine = Lines(d.Read("k/dizedir.pub"));
         std::vector<std::string> other = Lines(d.Read("other/dizedir.pub"));
         std::vector<uint8_t> a = Unb64(mine[1]), b = Unb64(other[1]);
         std::copy(a.begin() + 2, a.begin() + 10, b.begin() + 2);
         d.Write("forged.pub", B64(b) + "\n");  // bare form
         *pub = d.Path("forged.pub");
       },
       "bad global signature"},
      {"truncated signature file",
       [&](const ScratchDir& d, std::string*) {
         edit_sig(d, [](auto* l) { l->resize(2); });
       },
       "expected 4 lines"},
      {"signature line cut short",
       [&](const ScratchDir& d, std::string*) {
         edit_sig(d, [](auto* l) { (*l)[1].resize(40); });
       },
       "bytes where 74 were expected"},
      {"bad base64",
       [&](const ScratchDir& d, std::string*) {
         edit_sig(d, [](auto* l) { (*l)[3][10] = '*'; });
       },
       "global signature: bad base64"},
      {"bad algorithm",
       [&](const ScratchDir& d, std::string*) {
         edit_sig(d, [](auto* l) {
           std::vector<uint8_t> b = Unb64((*l)[1]);
           b[0] = 'X';
           (*l)[1] = B64(b);
         });
       },
       "unsupported signature algorithm"},
      {"legacy algorithm over a prehash",
       [&](const ScratchDir& d, std::string*) {
         edit_sig(d, [](auto* l) {
           std::vector<uint8_t> b = Unb64((*l)[1]);
           b[1] = 'd';
           (*l)[1] = B64(b);
         });
       },
       "signature does not match the file"},
      {"oversized signature file",
       [&](const ScratchDir& d, std::string*) {
         edit_sig(d, [](auto* l) { (*l)[0] += std::string(20000, 'x'); });
       },
       "file too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir("sign_tamper");
    ASSERT_EQ(Keygen(dir, "k", false), 0);
    ASSERT_TRUE(dir.Write("file.bin", std::string(100000, 'r')));
    ASSERT_EQ(Sign(dir, "file.bin", dir.Path("k/dizedir.key"), "seq 42"), 0);
    std::string pub = dir.Path("k/dizedir.pub");
    c.tamper(dir, &pub);
    const auto [rc, why] = Check(dir, "file.bin", pub);
    if (*c.reason == '\0') {
      EXPECT_EQ(rc, 0) << why;
    } else {
      EXPECT_EQ(rc, 1);
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
  }
}

// Secret key files: the password is checked, and a hostile file cannot ask
// for unbounded key derivation memory.
TEST(SecretKeyTest, ParseRefusals) {
  minisign::PublicKey pub;
  minisign::SecretKey key;
  ASSERT_TRUE(minisign::GenerateKeyPair(&pub, &key).ok());
  std::string encrypted;
  ASSERT_TRUE(minisign::FormatSecretKey(key, kPassword, minisign::InteractiveKdfLimits(),
                                        &encrypted).ok());
  auto patched = [&](size_t offset, uint8_t value) {
    std::vector<std::string> lines = Lines(encrypted);
    std::vector<uint8_t> b = Unb64(lines[1]);
    b[offset] = value;
    lines[1] = B64(b);
    return Join(lines);
  };
  struct Case {
    const char* name;
    std::string text;
    std::string password;
    const char* reason;
  };
  const Case cases[] = {
      {"right password", encrypted, kPassword, ""},
      {"wrong password", encrypted, "correct horsf", "wrong password"},
      {"no password", encrypted, "", "a password is needed"},
      {"unknown kdf", patched(2, 'X'), kPassword, "unsupported key derivation"},
      {"memlimit of 1 TiB", patched(6 + 32 + 8 + 5, 1), kPassword, "cost above the limit"},
      {"bad base64", "untrusted comment: x\n@@@@\n", kPassword, "bad base64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    minisign::SecretKey parsed;
    const Status s = minisign::ParseSecretKey(c.text, c.password, &parsed);
    if (*c.reason == '\0') {
      ASSERT_TRUE(s.ok()) << s.ToString();
      EXPECT_EQ(parsed.key, key.key);
      EXPECT_EQ(parsed.key_id, key.key_id);
    } else {
      EXPECT_NE(s.message().find(c.reason), std::string::npos) << s.ToString();
    }
  }
}

}  // namespace
}  // namespace dizedir::publish
