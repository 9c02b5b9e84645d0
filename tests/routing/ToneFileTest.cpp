#include <gtest/gtest.h>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "routing/ToneFile.h"

namespace {

QByteArray DefaultText() {
  QByteArray t = "0\r\n1\r\n";
  for (int ch = 0; ch < 16; ++ch) t += "0\r\n64\r\n0\r\n0\r\n100\r\n";
  return t;
}

ToneSetup Sample() {
  ToneSetup s;
  s.localChannel = 15;
  s.remoteChannel = 0;
  for (int ch = 0; ch < 16; ++ch) {
    s.channels.program[ch] = ch * 8;
    s.channels.pan[ch] = 127 - ch;
    s.channels.reverb[ch] = ch;
    s.channels.chorus[ch] = 2 * ch;
    s.channels.volume[ch] = 100 + ch;
  }
  return s;
}

TEST(ToneFile, TheDefaultSetupIs82LinesEndedByCrLf) {
  const QByteArray text = ToneFile::Format(ToneSetup());
  EXPECT_EQ(text, DefaultText());
  EXPECT_EQ(text.count("\r\n"), 82);
}

TEST(ToneFile, FileOrderIsProgramPanReverbChorusVolume) {
  ToneSetup s;
  s.channels.program[1] = 1;
  s.channels.pan[1] = 2;
  s.channels.reverb[1] = 3;
  s.channels.chorus[1] = 4;
  s.channels.volume[1] = 5;
  const QList<QByteArray> lines = ToneFile::Format(s).split('\n');
  // Lines 8 to 12 hold channel 1.
  EXPECT_EQ(lines[7], "1\r");
  EXPECT_EQ(lines[8], "2\r");
  EXPECT_EQ(lines[9], "3\r");
  EXPECT_EQ(lines[10], "4\r");
  EXPECT_EQ(lines[11], "5\r");
}

TEST(ToneFile, WrittenAndReadBackGivesTheSameSetup) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("setup.SNV"));
  ToneFile::Write(path, Sample());
  EXPECT_EQ(ToneFile::Read(path), Sample());
  // Writing again replaces the file whole.
  ToneFile::Write(path, ToneSetup());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), DefaultText());
}

TEST(ToneFile, ValuesMayStandSeveralToALine) {
  QByteArray t = "15 0\n";
  const ToneSetup s = Sample();
  for (int ch = 0; ch < 16; ++ch) {
    t += QByteArray::number(s.channels.program[ch]) + " " + QByteArray::number(s.channels.pan[ch]) + "\t" +
         QByteArray::number(s.channels.reverb[ch]) + "  " + QByteArray::number(s.channels.chorus[ch]) + " " +
         QByteArray::number(s.channels.volume[ch]) + "\r\n";
  }
  EXPECT_EQ(ToneFile::Parse(t), s);
}

TEST(ToneFile, TheRestOfAChannelsLineIsIgnored) {
  QByteArray t = "0\r\n1\r\n";
  for (int ch = 0; ch < 16; ++ch) t += "0 64 0 0 100 comment 99\r\n";
  EXPECT_EQ(ToneFile::Parse(t), ToneSetup());
}

struct BadCase {
  const char* what;
  QByteArray text;
  QString mustSay;
};
void PrintTo(const BadCase& c, std::ostream* os) {
  *os << c.what;
}

class ToneFileRejects : public ::testing::TestWithParam<BadCase> {};

TEST_P(ToneFileRejects, NamingTheLine) {
  const BadCase& c = GetParam();
  try {
    ToneFile::Parse(c.text, QStringLiteral("/some/where/x.SNV"));
    FAIL() << c.what << ": accepted";
  } catch (const ToneFile::Error& e) {
    EXPECT_TRUE(e.Message().contains(c.mustSay)) << c.what << ": " << e.what();
    EXPECT_TRUE(e.Message().contains(QStringLiteral("x.SNV"))) << e.what();
  }
}

QByteArray Replace(int line, const QByteArray& with) {
  QList<QByteArray> lines = DefaultText().split('\n');
  lines[line - 1] = with + "\r";
  return lines.join('\n');
}

INSTANTIATE_TEST_SUITE_P(
    BadFiles, ToneFileRejects,
    ::testing::Values(BadCase{"empty file", QByteArray(), QStringLiteral("0 個")},
                      BadCase{"short file", DefaultText().left(DefaultText().size() - 5),
                              QStringLiteral("81 個")},
                      BadCase{"a word", Replace(5, "reverb"), QStringLiteral("5 行目")},
                      BadCase{"digits then junk", Replace(40, "12x"), QStringLiteral("40 行目")},
                      BadCase{"a lone sign", Replace(3, "-"), QStringLiteral("3 行目")},
                      BadCase{"local channel 16", Replace(1, "16"), QStringLiteral("1 行目")},
                      BadCase{"remote channel negative", Replace(2, "-1"), QStringLiteral("2 行目")},
                      BadCase{"volume above 127", Replace(82, "128"), QStringLiteral("82 行目")},
                      BadCase{"pan negative", Replace(4, "-3"), QStringLiteral("4 行目")},
                      BadCase{"a number too long for any value", Replace(7, "99999999999999999999"),
                              QStringLiteral("7 行目")}),
    [](const auto& param) { return std::to_string(param.index); });

TEST(ToneFile, AFileThatCannotBeReadOrWrittenIsReportedByName) {
  QTemporaryDir dir;
  EXPECT_THROW(ToneFile::Read(dir.filePath(QStringLiteral("missing.SNV"))), ToneFile::Error);
  EXPECT_THROW(ToneFile::Write(dir.filePath(QStringLiteral("no/such/dir/x.SNV")), ToneSetup()),
               ToneFile::Error);
}

TEST(ToneFile, AFailedReadLeavesNoHalfFileAndAFailedWriteKeepsTheOldOne) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("keep.SNV"));
  ToneFile::Write(path, Sample());
  // A directory in the way of the temporary file makes the save fail before the rename.
  QDir(dir.path()).mkpath(QStringLiteral("blocked.SNV"));
  EXPECT_THROW(ToneFile::Write(dir.filePath(QStringLiteral("blocked.SNV")), ToneSetup()), ToneFile::Error);
  EXPECT_EQ(ToneFile::Read(path), Sample());
}

TEST(ToneFile, AWritableFileInAReadOnlyFolderIsStillSaved) {
  if (geteuid() == 0) GTEST_SKIP() << "folder permissions do not hold for root";
  QTemporaryDir dir;
  const QString folder = dir.filePath(QStringLiteral("shared"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString path = folder + QStringLiteral("/band.SNV");
  ToneFile::Write(path, ToneSetup());
  ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
  ToneFile::Write(path, Sample());
  QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  EXPECT_EQ(ToneFile::Read(path), Sample());
}

TEST(ToneFile, AHugeFileIsNotTakenForAToneFile) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("big.SNV"));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(DefaultText());
  f.write(QByteArray(1 << 20, ' '));
  f.close();
  EXPECT_THROW(ToneFile::Read(path), ToneFile::Error);
}

}  // namespace
