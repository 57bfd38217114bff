#include "common/TestSupport.h"
#include "platform/ProfileFile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using platform::ProfileFile;

namespace {

// Reading from the bytes of a file and reading the file itself agree, on the inputs
// that are easiest to get wrong: names whose code-page 932 bytes hold brackets, a BOM,
// lone CRs, bytes valid in no encoding.
TEST(ProfileBytes, ReadsTheSameAsTheFileHoldingThoseBytes) {
    struct Case {
        const char* what;
        QByteArray bytes;
        QString section, key, expected;
    };
    const QString dflt = u"default"_s;
    const Case cases[] = {
        {"BOM and LF line ends", "\xEF\xBB\xBF[General]\nAddress=host:47811\n", u"General"_s, u"Address"_s,
         u"host:47811"_s},
        {"BOM before a key of no section",
         "\xEF\xBB\xBF"
         "Address=x\r\n",
         u"General"_s, u"Address"_s, dflt},
        // "ゾ" is 83 5D: its trail byte is ']'. "ゼ" is 83 5B: '['.
        {"cp932 section with ']' as a trail byte", "[\x83\x5D\x81\x5B\x83\x93]\r\nKey=\x92\x6C\r\n", u"ゾーン"_s,
         u"Key"_s, u"値"_s},
        {"cp932 section with '[' as a trail byte", "[\x83\x5B\x83\x8D]\r\nKey=1\r\n", u"ゼロ"_s, u"key"_s, u"1"_s},
        {"lone CR is no line end", "[General]\rAddress=x\r\n", u"General"_s, u"Address"_s, dflt},
        {"invalid in both encodings", "[General]\r\nAddress=\x80\xFF ok\r\n", u"General"_s, u"Address"_s, u"�� ok"_s},
        {"empty file", "", u"General"_s, u"Address"_s, dflt},
    };

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(u"Mirelune.ini"_s);
    for (const Case& c : cases) {
        EXPECT_EQ(ProfileFile::readFromBytes(c.bytes, c.section, c.key, dflt), c.expected) << c.what;
        testsupport::writeAll(path, c.bytes);
        EXPECT_EQ(ProfileFile(path).read(c.section, c.key, dflt), c.expected) << c.what;
    }
}

} // namespace
