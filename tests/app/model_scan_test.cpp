// The model scan: which model name a file's raw bytes name.
#include <gtest/gtest.h>

#include <QApplication>

#include <filesystem>

#include "app/app_delegate.h"
#include "tests/support/call_layer.h"

using namespace brennick;
using Bytes = std::vector<std::uint8_t>;

namespace {

QString modelOf(const Bytes& bytes)
{
    const std::string path = brennick::test::writeTempFile(bytes, "scan");
    AppDelegate delegate;
    const QString name = delegate.checkSysexDestination(QString::fromStdString(path));
    std::filesystem::remove(path);
    return name;
}

}  // namespace

struct ScanCase {
    const char* what;
    Bytes bytes;
    const char* model;
};

class ModelScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ModelScan, GivesTheModelNameOfTheFirstSysEx)
{
    EXPECT_EQ(modelOf(GetParam().bytes).toStdString(), GetParam().model) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModelScan,
    ::testing::Values(
        ScanCase{"count byte then manufacturer", {0xF0, 0x05, 0x3E, 0x13, 0x00, 0xF7}, "Carrow"},
        ScanCase{
            "3E before F0 ignored, last 3E wins", {0x3E, 0x01, 0xF0, 0x05, 0x3E, 0x00, 0x3E, 0x16, 0xF7}, "Kestra2"},
        ScanCase{"F7 before any F0 ends the scan", {0x00, 0xF7, 0xF0, 0x3E, 0x13, 0xF7}, ""},
        ScanCase{"only the first message counts", {0xF0, 0x3E, 0x00, 0xF7, 0xF0, 0x3E, 0x13, 0xF7}, "Lumen"},
        ScanCase{"last byte 3E is not a scan position", {0xF0, 0x01, 0x02, 0x3E}, ""},
        ScanCase{"second-to-last 3E takes the last byte", {0xF0, 0x01, 0x3E, 0x0E}, "Lumen 2"},
        ScanCase{"model 0x0C is empty", {0xF0, 0x3E, 0x0C, 0xF7}, ""},
        ScanCase{"model 0x0D is empty", {0xF0, 0x3E, 0x0D, 0xF7}, ""},
        ScanCase{"model 0x19 is the last row", {0xF0, 0x3E, 0x19, 0xF7}, "Merrow"},
        ScanCase{"model 0x1A is beyond the table", {0xF0, 0x3E, 0x1A, 0xF7}, ""},
        ScanCase{"model byte F7 is taken as the model", {0xF0, 0x3E, 0xF7, 0x00}, ""},
        ScanCase{"no 3E after F0", {0xF0, 0x43, 0x10, 0xF7}, ""}, ScanCase{"empty file", {}, ""},
        ScanCase{"one byte", {0xF0}, ""}, ScanCase{"two bytes", {0xF0, 0x3E}, ""},
        ScanCase{"F0 itself followed by 3E in the same pair", {0x3E, 0xF0, 0x3E, 0x05}, "Brisa"}));

TEST(ModelScan, UnreadableAndSpecialFilesGiveTheEmptyName)
{
    AppDelegate delegate;
    EXPECT_EQ(delegate.checkSysexDestination("/nonexistent/x.mid"), "");
    EXPECT_EQ(delegate.checkSysexDestination(QString::fromStdString(std::filesystem::temp_directory_path().string())),
              "");
    EXPECT_EQ(delegate.checkSysexDestination("/dev/zero"), "");  // never read: not a regular file
}

TEST(ModelScan, StreamsAcrossReadBoundariesAndStopsAtTheFirstF7)
{
    // The 3E sits at the end of one 64 KB read and its model byte at the start of the next.
    Bytes bytes(64 * 1024 - 1, 0x00);
    bytes[0] = 0xF0;
    bytes.push_back(0x3E);
    bytes.push_back(0x04);
    bytes.push_back(0xF7);
    EXPECT_EQ(modelOf(bytes), "Fennel");

    // A large file after the first F7 is never read to its end (the answer comes from the head).
    Bytes big = {0xF0, 0x3E, 0x02, 0xF7};
    big.resize(8 << 20, 0x3E);
    EXPECT_EQ(modelOf(big), "Tessel");
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
