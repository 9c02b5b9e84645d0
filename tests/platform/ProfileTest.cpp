#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>

#include "platform/Profile.h"
#include "support/TempIniFile.h"

namespace {

using ProfileTest = TempIniFile;

TEST_F(ProfileTest, MissingFileGivesEveryFallback) {
  Profile p(Path());
  EXPECT_FALSE(p.Read("modem", "port").has_value());
  EXPECT_EQ(p.ReadString("modem", "text1", "ATZ"), "ATZ");
  EXPECT_EQ(p.ReadInt("modem", "port", 3), 3);
  EXPECT_TRUE(p.ReadBool("other", "makelog", true));
  EXPECT_FALSE(QFile::exists(Path())) << "reading must not create the file";
}

TEST_F(ProfileTest, WrittenKeysReadBackAndTheFileIsWindowsShaped) {
  Profile p(Path());
  p.WriteInt("modem", "port", 2);
  p.WriteString("modem", "text1", "ATZ");
  p.WriteString("serial", "user", "14400");
  p.WriteBool("other", "makelog", false);
  p.WriteString("modem", "text3", "");
  p.WriteInt("modem", "port", -7);  // replaces in place

  EXPECT_EQ(p.ReadInt("modem", "port", 0), -7);
  EXPECT_EQ(p.ReadString("modem", "text1", "x"), "ATZ");
  EXPECT_EQ(p.ReadString("modem", "text3", "x"), "") << "an empty value is not a missing key";
  EXPECT_EQ(p.ReadString("serial", "user", ""), "14400");
  EXPECT_FALSE(p.ReadBool("other", "makelog", true));
  EXPECT_EQ(FileBytes(),
            "[modem]\r\nport=-7\r\ntext1=ATZ\r\ntext3=\r\n"
            "[serial]\r\nuser=14400\r\n"
            "[other]\r\nmakelog=0\r\n");
}

TEST_F(ProfileTest, IntegerReadingRules) {
  struct Case {
    const char* text;
    int expected;
  };
  const Case cases[] = {
      {"10", 10},
      {"0x1F", 31},
      {"0X1f", 31},
      {"-5", -5},
      {"+7", 7},
      {"0", 0},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"0x7FFFFFFF", 2147483647},
      // not numbers: the fallback 99
      {"2147483648", 99},
      {"0x80000000", 99},
      {"abc", 99},
      {"12abc", 99},
      {"1 2", 99},
      {"0x", 99},
      {"0xG1", 99},
      {"-0x10", 99},
      {"-", 99},
      {"1.5", 99},
      {"$10", 99},
      {"１２", 99},
  };
  for (const Case& c : cases) {
    WriteFile(QByteArray("[s]\r\nk=") + c.text + "\r\n");
    EXPECT_EQ(Profile(Path()).ReadInt("s", "k", 99), c.expected) << "value " << c.text;
  }
}

TEST_F(ProfileTest, BooleanReadingRules) {
  struct Case {
    const char* text;
    bool fallback;
    bool expected;
  };
  const Case cases[] = {
      {"1", false, true},   {"0", true, false},    {"2", false, true},    {"-1", false, true},
      {"0x0", true, false}, {"0x10", false, true}, {"yes", false, false}, {"true", false, false},
      {"", true, true},     {"off", true, true},
  };
  for (const Case& c : cases) {
    WriteFile(QByteArray("[s]\r\nk=") + c.text + "\r\n");
    EXPECT_EQ(Profile(Path()).ReadBool("s", "k", c.fallback), c.expected) << "value " << c.text;
  }
}

TEST_F(ProfileTest, ReadsFilesAsTheWindowsProfileFunctionsDo) {
  WriteFile(
      "; written by hand\n"
      "[Modem]\n"
      "  PORT = 3  \n"
      "text1=\"  ATZ  \"\n"
      "text2='quoted'\n"
      "text3=\"half\n"
      "port=4\n"  // a second one: the first counts
      "novalue\n"
      "\n"
      "[serial]\n"
      "speed=0x0A\r\n");
  Profile p(Path());
  EXPECT_EQ(p.ReadInt("modem", "port", 0), 3) << "names compare without case, blanks trimmed";
  EXPECT_EQ(p.ReadString("modem", "text1", ""), "  ATZ  ") << "quotes keep blanks";
  EXPECT_EQ(p.ReadString("modem", "text2", ""), "quoted");
  EXPECT_EQ(p.ReadString("modem", "text3", ""), "\"half");
  EXPECT_FALSE(p.Read("modem", "novalue").has_value());
  EXPECT_FALSE(p.Read("modem", "speed").has_value()) << "keys belong to their own section";
  EXPECT_EQ(p.ReadInt("serial", "speed", 0), 10);
  EXPECT_FALSE(p.Read("modem", "; written by hand").has_value());
}

TEST_F(ProfileTest, WritingKeepsEveryOtherLineAndPlacesNewKeysAtTheirSectionsEnd) {
  WriteFile(
      "; keep me\r\n"
      "[modem]\r\n"
      "port=1\r\n"
      "unknown=stays\r\n"
      "\r\n"
      "[MainFormPosition]\r\n"
      "top=10\r\n");
  Profile p(Path());
  p.WriteString("MODEM", "text1", "ATZ");
  p.WriteInt("mainformposition", "left", 20);
  p.WriteInt("modem", "PORT", 2);
  EXPECT_EQ(FileBytes(),
            "; keep me\r\n"
            "[modem]\r\n"
            "port=2\r\n"  // the key keeps its line and its spelling
            "unknown=stays\r\n"
            "text1=ATZ\r\n"
            "\r\n"
            "[MainFormPosition]\r\n"
            "top=10\r\n"
            "left=20\r\n");
  EXPECT_EQ(p.ReadInt("modem", "port", 0), 2);

  p.DeleteKey("modem", "unknown");
  p.DeleteKey("modem", "absent");
  p.DeleteKey("nosection", "absent");
  EXPECT_FALSE(p.Read("modem", "unknown").has_value());
  EXPECT_EQ(p.ReadString("modem", "text1", ""), "ATZ");
  EXPECT_FALSE(FileBytes().contains("nosection"));
}

TEST_F(ProfileTest, JapaneseTextIsShiftJisOnDiskAndRoundTrips) {
  Profile p(Path());
  // ソ and 表 end in 0x5C, ゾ in 0x5D (']'): trail bytes that must not be taken for ASCII.
  const QString names[] = {QStringLiteral("名前"), QStringLiteral("ﾕｰｻﾞｰ定義'"), QStringLiteral("ソ表ゾ"),
                           QStringLiteral("接続先１"), QStringLiteral("ATE1Q0V1X3\\N3%C1")};
  int i = 0;
  for (const QString& name : names) p.WriteString("names", QStringLiteral("name%1").arg(++i), name);
  i = 0;
  for (const QString& name : names)
    EXPECT_EQ(p.ReadString("names", QStringLiteral("name%1").arg(++i), ""), name);
  EXPECT_TRUE(FileBytes().contains("name1=\x96\xBC\x91\x4F\r\n")) << "名前 in CP932";
  EXPECT_TRUE(FileBytes().contains("name3=\x83\x5C\x95\x5C\x83\x5D\r\n"));

  // A section and a key holding such bytes still parse.
  p.WriteString(QStringLiteral("ゾ"), QStringLiteral("表"), QStringLiteral("値"));
  EXPECT_EQ(p.ReadString(QStringLiteral("ゾ"), QStringLiteral("表"), ""), QStringLiteral("値"));
  EXPECT_FALSE(p.Read(QStringLiteral("ゾ"), QStringLiteral("ソ")).has_value());
}

TEST_F(ProfileTest, ValuesThatReadingWouldAlterAreWrittenQuoted) {
  Profile p(Path());
  const QString values[] = {" lead", "trail ", "\tboth\t", "\"quoted\"", "'single'", "\"", "a\"b\"", "x=y;z"};
  for (const QString& v : values) {
    p.WriteString("s", "k", v);
    EXPECT_EQ(p.ReadString("s", "k", "fallback"), v);
  }
}

TEST_F(ProfileTest, LineBreaksAndBadNamesAreRefusedWithoutTouchingTheFile) {
  Profile p(Path());
  p.WriteString("s", "k", "old");
  const QByteArray before = FileBytes();
  EXPECT_THROW(p.WriteString("s", "k", "two\nlines"), ProfileError);
  EXPECT_THROW(p.WriteString("s", "k", "cr\r"), ProfileError);
  EXPECT_THROW(p.WriteString("s", "a=b", "v"), ProfileError);
  EXPECT_THROW(p.WriteString("s]", "k", "v"), ProfileError);
  EXPECT_THROW(p.WriteString("s", "", "v"), ProfileError);
  EXPECT_EQ(FileBytes(), before);
}

// The file-size limit makes the kernel refuse the write part way through the new file, as a
// full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  void (*oldHandler_)(int) = nullptr;
};

TEST_F(ProfileTest, AWriteThatFailsMidwayLeavesTheOldFileWholeAndIsReported) {
  Profile p(Path());
  for (int i = 0; i < 20; ++i)
    p.WriteString("names", QStringLiteral("name%1").arg(i), QStringLiteral("接続先"));
  const QByteArray before = FileBytes();
  ASSERT_GT(before.size(), 200);

  {
    FileSizeLimit limit(static_cast<rlim_t>(before.size()) + 4);
    try {
      p.WriteString("names", "name0", QStringLiteral("とても長い名前").repeated(4));
      FAIL() << "the failed write was not reported";
    } catch (const ProfileError& e) {
      EXPECT_TRUE(e.Message().contains(Path())) << e.Message().toStdString();
    }
  }
  EXPECT_EQ(FileBytes(), before);
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files), QStringList{"Sonavel.ini"})
      << "no temporary file is left";
  EXPECT_EQ(p.ReadString("names", "name0", ""), QStringLiteral("接続先"));

  // Once the disk has room again, writing works.
  p.WriteString("names", "name0", QStringLiteral("新"));
  EXPECT_EQ(p.ReadString("names", "name0", ""), QStringLiteral("新"));
}

TEST_F(ProfileTest, AFileThatCannotBeReadOrReplacedIsReported) {
  // A folder where the file should be: nothing to read, nothing may replace it.
  ASSERT_TRUE(QDir(dir_.path()).mkdir("Sonavel.ini"));
  Profile p(Path());
  EXPECT_EQ(p.ReadInt("modem", "port", 4), 4);
  EXPECT_THROW(p.WriteInt("modem", "port", 1), ProfileError);
  EXPECT_TRUE(QFileInfo(Path()).isDir());

  Profile nowhere(PathOf("missing-folder/Sonavel.ini"));
  EXPECT_THROW(nowhere.WriteInt("modem", "port", 1), ProfileError);
}

}  // namespace
