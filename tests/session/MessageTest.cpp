#include "session/Message.h"

#include <gtest/gtest.h>

using session::Message;

TEST(Message, ReadsBackIntegersAndStringsInOrder) {
    Message written;
    written.writeInt32(1);
    written.writeString(QStringLiteral("こんにちは"));
    written.writeInt32(-7);
    written.writeString(QString());

    Message read(written.payload());
    EXPECT_EQ(read.readInt32().value(), 1);
    EXPECT_EQ(read.readString().value(), QStringLiteral("こんにちは"));
    EXPECT_EQ(read.readInt32().value(), -7);
    EXPECT_EQ(read.readString().value(), QString());
    EXPECT_FALSE(read.readInt32().ok());
}

TEST(Message, WireLayoutIsBigEndianWithByteLengthPrefixedUtf8) {
    Message message;
    message.writeInt32(0x01020304);
    message.writeString(QStringLiteral("é"));
    EXPECT_EQ(message.payload(), QByteArray::fromHex("01020304" "00000002" "c3a9"));
}

TEST(Message, ReadingPastTheEndFailsAndKeepsThePosition) {
    struct Case {
        const char* hex;
        const char* what;
    };
    const Case cases[] = {
        {"", "empty"},
        {"000001", "three bytes of an integer"},
        {"00000005616263", "string length longer than the rest"},
        {"ffffffff", "string length of 4 GiB"},
    };
    for (const Case& c : cases) {
        Message message(QByteArray::fromHex(c.hex));
        EXPECT_FALSE(message.readString().ok()) << c.what;
        // The failed read consumed nothing: the integer read sees the same bytes.
        const bool hasInteger = QByteArray::fromHex(c.hex).size() >= 4;
        EXPECT_EQ(message.readInt32().ok(), hasInteger) << c.what;
    }
}

TEST(Message, InvalidUtf8IsReadWithReplacementCharacters) {
    Message message(QByteArray::fromHex("00000003" "61ff62"));
    const auto text = message.readString();
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(), QStringLiteral("a\uFFFDb"));
}
