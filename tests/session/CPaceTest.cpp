// CPace against the test vectors of its draft (ristretto255, SHA-512), and the ways a
// run must end early.
#include "session/secure/CPace.h"

#include <gtest/gtest.h>

using namespace session::secure;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text));
}

SecretBytes<kCPaceScalarBytes> scalar(const char* text) {
    SecretBytes<kCPaceScalarBytes> out;
    const QByteArray bytes = hex(text);
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(out.data()));
    return out;
}

QByteArray bytesOfSecret(const SecretBytes<kCPaceIskBytes>& secret) {
    return QByteArray(reinterpret_cast<const char*>(secret.data()), static_cast<qsizetype>(secret.size()));
}

// The draft's inputs.
const QByteArray kPrs = "Password";
const QByteArray kCi = hex("0b415f696e69746961746f720b425f726573706f6e646572");
const QByteArray kSid = hex("7e4b4791d6a8ef019b936c79fb7f2c57");
const char kYa[] = "da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08";
const char kYb[] = "d2316b454718c35362d83d69df6320f38578ed5984651435e2949762d900b80d";

} // namespace

TEST(CPace, MatchesTheDraftsTestVectors) {
    const SecretBytes<kCPaceScalarBytes> ya = scalar(kYa);
    const SecretBytes<kCPaceScalarBytes> yb = scalar(kYb);
    std::optional<CPaceParty> a = CPaceParty::start(CPaceParty::Role::Initiator, kPrs, kCi, kSid, "ADa", &ya);
    std::optional<CPaceParty> b = CPaceParty::start(CPaceParty::Role::Responder, kPrs, kCi, kSid, "ADb", &yb);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->receive(b->share(), "ADb"));
    ASSERT_TRUE(b->receive(a->share(), "ADa"));

    const char* isk = "b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd"
                      "2b38950a39dfd5d4a79164614c2984f7daa460b588c1e80c3fa2068af7900447";
    const struct {
        const char* what;
        QByteArray computed;
        QByteArray expected;
    } cases[] = {
        {"generator string", cpaceGeneratorString(kPrs, kCi, kSid),
         hex("11435061636552697374726574746f3235350850617373776f726464") + QByteArray(100, '\0') +
             hex("180b415f696e69746961746f720b425f726573706f6e646572107e4b4791d6a8ef019b936c79fb7f2c57")},
        {"generator", toBytes(cpaceGenerator(kPrs, kCi, kSid)),
         hex("222b6b195fe84b1652badb6f6a3ae3d24341e7306967f0b8115b40d5698c7e56")},
        {"Ya", a->share(), hex("d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157")},
        {"Yb", b->share(), hex("3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258")},
        {"ISK at A", bytesOfSecret(a->isk()), hex(isk)},
        {"ISK at B", bytesOfSecret(b->isk()), hex(isk)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.computed.toHex(), c.expected.toHex()) << c.what;

    // Confirmation both ways.
    EXPECT_TRUE(b->checkConfirmation(a->ownConfirmation()));
    EXPECT_TRUE(a->checkConfirmation(b->ownConfirmation()));
    EXPECT_FALSE(a->checkConfirmation(a->ownConfirmation())); // a reflected tag
}

TEST(CPace, AWrongPasswordOrABadShareEndsTheRun) {
    const auto party = [](CPaceParty::Role role, const QByteArray& password) {
        return *CPaceParty::start(role, password, kCi, kSid, role == CPaceParty::Role::Initiator ? "ADa" : "ADb");
    };
    // A wrong password gives shares that look as good as any; only the tags tell.
    CPaceParty a = party(CPaceParty::Role::Initiator, "Password");
    CPaceParty b = party(CPaceParty::Role::Responder, "password");
    ASSERT_TRUE(a.receive(b.share(), "ADb") && b.receive(a.share(), "ADa"));
    EXPECT_FALSE(b.checkConfirmation(a.ownConfirmation()));
    EXPECT_FALSE(a.checkConfirmation(b.ownConfirmation()));

    // The draft's invalid encodings and the identity, plus shares of the wrong size.
    const QByteArray invalid[] = {
        hex("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c"),
        QByteArray(32, '\0'),
        QByteArray(31, '\x01'),
        QByteArray(33, '\x01'),
        QByteArray(32, '\xff'),
    };
    for (const QByteArray& share : invalid) {
        CPaceParty fresh = party(CPaceParty::Role::Responder, "Password");
        EXPECT_FALSE(fresh.receive(share, "ADa")) << share.toHex().constData();
        EXPECT_FALSE(fresh.checkConfirmation(QByteArray(64, '\0')));
        EXPECT_TRUE(fresh.ownConfirmation().isEmpty());
    }
}
