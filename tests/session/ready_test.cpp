#include "session/ready.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "session/strict_ed25519.hpp"
#include "system/sodium.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(std::string_view hex) {
  if (hex.empty()) return {};
  Bytes bytes(hex.size() / 2);
  size_t length = 0;
  EXPECT_EQ(sodium_hex2bin(bytes.data(), bytes.size(), hex.data(), hex.size(), nullptr, &length,
                           nullptr),
            0);
  bytes.resize(length);
  return bytes;
}

SignatureCheck check(const Bytes& key, const Bytes& signature, const Bytes& message) {
  return check_strict_ed25519(std::span<const uint8_t, 32>(key.data(), 32),
                              std::span<const uint8_t, 64>(signature.data(), 64), message);
}

class StrictEd25519 : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(init_sodium()); }
};

struct RfcVector {
  const char* name;
  const char* public_key;
  const char* message;
  const char* signature;
};

// The five Ed25519 vectors of RFC 8032, section 7.1.
const RfcVector rfc8032_vectors[] = {
    {"TEST 1", "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST 1024", "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
     "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98"
     "fa6e264bf09efe12ee50f8f54e9f77b1e355f6c50544e23fb1433ddf73be84d8"
     "79de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b270b20329d"
     "658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc"
     "1a858efcb8550ee3a5e1998bd177e93a7363c344fe6b199ee5d02e82d522c4fe"
     "ba15452f80288a821a579116ec6dad2b3b310da903401aa62100ab5d1a36553e"
     "06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573cb116dbef"
     "efd75499da96bd68a8a97b928a8bbc103b6621fcde2beca1231d206be6cd9ec7"
     "aff6f6c94fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed1"
     "85ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2"
     "d17ba70eb6248e594e1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24"
     "554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf2b13fd65f270"
     "88d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc"
     "2732e69485bbc9c90bfbd62481d9089beccf80cfe2df16a2cf65bd92dd597b07"
     "07e0917af48bbb75fed413d238f5555a7a569d80c3414a8d0859dc65a46128ba"
     "b27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51a"
     "ddd3b75a2b1ae0784504df543af8969be3ea7082ff7fc9888c144da2af58429e"
     "c96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9b47acdb7"
     "51fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c"
     "42f58c30c04aafdb038dda0847dd988dcda6f3bfd15c4b4c4525004aa06eeff8"
     "ca61783aacec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34df"
     "f7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08"
     "d78ff4ef5d63653a65040cf9bfd4aca7984a74d37145986780fc0b16ac451649"
     "de6188a7dbdf191f64b5fc5e2ab47b57f7f7276cd419c17a3ca8e1b939ae49e4"
     "88acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d5011fd2dcc5600a3"
     "2ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e"
     "6aed3fb0f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5f"
     "b93246f6b1116398a346f1a641f3b041e989f7914f90cc2c7fff357876e506b5"
     "0d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa933a15ef1"
     "369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380d"
     "b2eaaa707b4c4185c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c"
     "0618983f8741c5ef68d3a101e8a3b8cac60c905c15fc910840b94c00a0b9d0",
     "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23c436d94b5e8fcd4f681e30a6ac00a9704a188a03"},
    {"TEST SHA(abc)", "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
};

TEST_F(StrictEd25519, AcceptsTheRfc8032VectorsAndNothingAltered) {
  for (const auto& vector : rfc8032_vectors) {
    SCOPED_TRACE(vector.name);
    Bytes key = from_hex(vector.public_key);
    Bytes message = from_hex(vector.message);
    Bytes signature = from_hex(vector.signature);
    EXPECT_EQ(check(key, signature, message), SignatureCheck::valid);

    Bytes longer = message;
    longer.push_back(0);
    EXPECT_EQ(check(key, signature, longer), SignatureCheck::invalid_signature);
    Bytes other_signature = signature;
    other_signature[10] ^= 0x01;
    EXPECT_EQ(check(key, other_signature, message), SignatureCheck::invalid_signature);
  }
}

// C2SP's edge-case vectors: small-order and mixed-order keys and R values,
// non-canonical encodings, and signatures that only the cofactored
// equation would accept. The strict rule accepts a vector exactly when it
// has none of the flags below.
TEST_F(StrictEd25519, AgreesWithEveryCctvVector) {
  const std::set<std::string> refused_flags = {"low_order_A", "low_order_R", "non_canonical_A",
                                               "non_canonical_R", "low_order_residue"};
  std::ifstream file(CORVANE_ED25519_VECTORS);
  ASSERT_TRUE(file) << CORVANE_ED25519_VECTORS;
  auto vectors = nlohmann::json::parse(file);

  std::vector<int> disagreements;
  size_t accepted = 0;
  for (const auto& vector : vectors) {
    bool expected = true;
    // A vector without flags holds null rather than an empty list.
    if (vector["flags"].is_array()) {
      for (const auto& flag : vector["flags"]) {
        if (refused_flags.contains(flag.get<std::string>())) expected = false;
      }
    }
    std::string message = vector["msg"];
    auto outcome = check(from_hex(vector["key"].get<std::string>()),
                         from_hex(vector["sig"].get<std::string>()),
                         Bytes(message.begin(), message.end()));
    bool valid = outcome == SignatureCheck::valid;
    if (valid != expected) disagreements.push_back(vector["number"].get<int>());
    if (valid) ++accepted;
  }
  EXPECT_EQ(vectors.size(), 914u);
  EXPECT_EQ(accepted, 43u);
  EXPECT_EQ(disagreements, std::vector<int>{});
}

// A session.ready signed as the KVM does, with the key of RFC 8032's
// TEST 1, over a hello this test builds byte by byte.
class VerifyReady : public testing::Test {
 public:
  static constexpr std::array<uint8_t, 4> version = {5, 0, 0, 0};

  void SetUp() override {
    ASSERT_TRUE(init_sodium());
    Bytes seed = from_hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    crypto_sign_ed25519_seed_keypair(public_key.data(), secret_key.data(), seed.data());

    hello.assign(version.begin(), version.end());
    for (uint8_t i = 0; i < 16; ++i) hello.push_back(static_cast<uint8_t>(0xA0 + i));
    for (uint8_t i = 0; i < 32; ++i) hello.push_back(static_cast<uint8_t>(i * 7));
    ready.assign(hello.begin(), hello.begin() + 20);
    ready.insert(ready.end(), public_key.begin(), public_key.end());
    sign();
  }

  // Signs the first 52 bytes of ready in place, the way the KVM does.
  void sign(const Bytes& signed_hello) {
    std::string context = "Corvane session.ready v5";
    Bytes message(context.begin(), context.end());
    message.insert(message.end(), signed_hello.begin(), signed_hello.end());
    message.insert(message.end(), ready.begin(), ready.begin() + 52);
    ready.resize(52);
    ready.resize(116);
    crypto_sign_ed25519_detached(ready.data() + 52, nullptr, message.data(), message.size(),
                                 secret_key.data());
  }
  void sign() { sign(hello); }

  Result<Fingerprint> verify() const { return verify_ready(hello, ready); }

  std::array<uint8_t, 32> public_key{};
  std::array<uint8_t, 64> secret_key{};
  Bytes hello;
  Bytes ready;
};

TEST_F(VerifyReady, ReturnsTheFingerprintOfTheKey) {
  auto fingerprint = verify();
  ASSERT_TRUE(fingerprint) << fingerprint.error().message;
  // SHA-256 of the key begins 21fe31dfa154a261.
  EXPECT_EQ(format_fingerprint(*fingerprint), "21:FE:31:DF:A1:54:A2:61");
  EXPECT_EQ(key_fingerprint(public_key), *fingerprint);
}

TEST_F(VerifyReady, RefusesAPayloadOfAnotherLength) {
  for (size_t size : {0, 52, 115, 117}) {
    Bytes payload = ready;
    payload.resize(size);
    auto result = verify_ready(hello, payload);
    ASSERT_FALSE(result) << size;
    EXPECT_EQ(result.error().message, "invalid session.ready payload length");
  }
}

TEST_F(VerifyReady, RefusesAKeyThatIsNoCurvePoint) {
  // No point of the curve has y = 2.
  std::fill(ready.begin() + 20, ready.begin() + 52, 0);
  ready[20] = 2;
  sign();
  auto result = verify();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "the KVM sent an invalid public key");
}

// Adds the group order L to S `times` times, which leaves [S]B unchanged.
void add_group_order(Bytes& ready, int times) {
  static const Bytes order =
      from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  for (int i = 0; i < times; ++i) {
    unsigned carry = 0;
    for (size_t byte = 0; byte < 32; ++byte) {
      carry += ready[84 + byte] + order[byte];
      ready[84 + byte] = static_cast<uint8_t>(carry);
      carry >>= 8;
    }
  }
}

TEST_F(VerifyReady, RefusesEverySignatureThatDoesNotHoldStrictly) {
  const std::vector<std::pair<const char*, std::function<void(VerifyReady&)>>> alterations = {
      {"signed over another nonce",
       [](VerifyReady& t) {
         Bytes other = t.hello;
         other.back() ^= 0x01;
         t.sign(other);
       }},
      {"token changed after signing", [](VerifyReady& t) { t.ready[4] ^= 0x01; }},
      {"version changed after signing", [](VerifyReady& t) { t.ready[0] = 6; }},
      {"hello not the one signed", [](VerifyReady& t) { t.hello[30] ^= 0x80; }},
      {"R altered", [](VerifyReady& t) { t.ready[60] ^= 0x04; }},
      {"S altered", [](VerifyReady& t) { t.ready[90] ^= 0x04; }},
      {"S plus L", [](VerifyReady& t) { add_group_order(t.ready, 1); }},
      {"S plus 8L, top bit set", [](VerifyReady& t) {
         add_group_order(t.ready, 8);
         ASSERT_NE(t.ready[115] & 0x80, 0);
       }},
  };
  for (const auto& [name, alter] : alterations) {
    SCOPED_TRACE(name);
    SetUp();
    alter(*this);
    auto result = verify();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "the KVM's session.ready signature is invalid");
  }
}

// With the identity as key, R = [r]B and S = r satisfy [S]B = R + [k]A for
// every message; only the small-order rule stands in the way.
TEST_F(VerifyReady, RefusesASmallOrderKeyEvenWhenTheEquationHolds) {
  std::fill(ready.begin() + 20, ready.begin() + 52, 0);
  ready[20] = 1;
  std::array<uint8_t, 32> r{};
  crypto_core_ed25519_scalar_random(r.data());
  ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(ready.data() + 52, r.data()), 0);
  std::copy(r.begin(), r.end(), ready.begin() + 84);

  auto result = verify();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "the KVM's session.ready signature is invalid");
}

}  // namespace
}  // namespace corvane
