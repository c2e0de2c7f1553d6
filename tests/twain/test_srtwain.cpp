// TSRTWAIN against the fake manager that lies beside this program.

#include "tests/twain/fake_dsm.h"
#include "twain/apphook.h"
#include "twain/dsm/dsm_extensions.h"
#include "twain/profile.h"
#include "twain/srtwain.h"

#include "support/test_support.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <dlfcn.h>
#include <filesystem>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::HasSubstr;
using testing::StartsWith;

namespace {

FakeDsm& Dsm() {
    static FakeDsm* const dsm = [] {
        const auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() /
                          TSRTWAIN::DsmLibraryName;
        void* const lib = dlopen(path.c_str(), RTLD_NOW); // kept for the whole run
        EXPECT_NE(lib, nullptr) << dlerror();
        return reinterpret_cast<FakeDsm* (*)()>(dlsym(lib, "fake_dsm_control"))();
    }();
    return *dsm;
}

template <class F> std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

// A packed bitmap: header, a colour table of TableEntries, bottom-up rows padded to 4 bytes.
// Value(x, y) is a table index, or 0xRRGGBB for 24 bits; y counts from the top.
std::vector<std::uint8_t> MakeDib(bool Core, int Bits, std::uint32_t ClrUsed, int TableEntries,
                                  const std::vector<QRgb>& Table, int W, int H,
                                  const std::function<std::uint32_t(int, int)>& Value) {
    std::vector<std::uint8_t> dib;
    const auto put = [&](const void* p, std::size_t n) {
        dib.insert(dib.end(), static_cast<const std::uint8_t*>(p),
                   static_cast<const std::uint8_t*>(p) + n);
    };
    if (Core) {
        const BITMAPCOREHEADER h{12, std::uint16_t(W), std::uint16_t(H), 1, std::uint16_t(Bits)};
        put(&h, sizeof h);
    } else {
        const BITMAPINFOHEADER h{40, W, H, 1, std::uint16_t(Bits), BI_RGB, 0, 0, 0, ClrUsed, 0};
        put(&h, sizeof h);
    }
    for (int i = 0; i < TableEntries; ++i) {
        const std::uint8_t e[4] = {std::uint8_t(qBlue(Table[i])), std::uint8_t(qGreen(Table[i])),
                                   std::uint8_t(qRed(Table[i])), 0};
        put(e, Core ? 3 : 4);
    }
    const int stride = (W * Bits + 31) / 32 * 4;
    for (int y = H - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(stride, 0);
        for (int x = 0; x < W; ++x) {
            const std::uint32_t v = Value(x, y);
            const int bit = x * Bits;
            if (Bits == 24) {
                row[x * 3] = v & 0xff;
                row[x * 3 + 1] = (v >> 8) & 0xff;
                row[x * 3 + 2] = (v >> 16) & 0xff;
            } else {
                row[bit / 8] |= std::uint8_t(v << (8 - Bits - bit % 8));
            }
        }
        put(row.data(), row.size());
    }
    return dib;
}

class TwainTest : public testing::Test {
protected:
    void SetUp() override {
        Dsm().Reset();
        qputenv("IMGLIFT_TWAIN_INI", QFile::encodeName(dir.filePath("twain.ini")));
        twain = std::make_unique<TSRTWAIN>(&window);
        twain->OnScanReady = [this](QObject* Sender) {
            EXPECT_EQ(Sender, twain.get());
            ++ready;
        };
    }
    void TearDown() override {
        twain.reset();
        EXPECT_EQ(Dsm().State, 1) << "the manager was left open";
    }
    // Acquire, then take messages until the scan ends; rethrows what the hook raised.
    void Scan() {
        const int before = ready;
        twain->Acquire(bitmap);
        for (int i = 0; i < 100 && ready == before; ++i)
            apphook::ProcessMessages(20);
    }

    QTemporaryDir dir;
    QObject window;
    std::unique_ptr<TSRTWAIN> twain;
    TBitmap bitmap;
    int ready = 0;
};

TEST_F(TwainTest, IdentityReachesTheManagerAsSet) {
    twain->SetProductname(QString(40, 'p'));
    twain->SetVersionInfo("Twain component");
    twain->SetLanguage(lgGerman);
    twain->SetCountry(ctFinland);
    twain->InitTWAIN();
    const TW_IDENTITY& id = Dsm().Origin;
    EXPECT_EQ(std::string(id.ProductName), std::string(32, 'p'));
    EXPECT_EQ(twain->Productname(), QString(32, 'p'));
    EXPECT_EQ(std::string(id.Version.Info), "Twain component");
    EXPECT_EQ(id.Version.Language, 6);
    EXPECT_EQ(id.Version.Country, 358);
    EXPECT_EQ(id.ProtocolMajor, 1);
    EXPECT_EQ(id.ProtocolMinor, 7);
    EXPECT_EQ(+id.SupportedGroups, DG_CONTROL | DG_IMAGE);
    EXPECT_NE(+id.Id, 0u);
    EXPECT_EQ(Dsm().Parent, &window);
    EXPECT_TRUE(twain->IsDataSourceManagerOpen());
}

TEST_F(TwainTest, FileFormatUnknownStoresBmp) {
    twain->SetFileFormat(ffPNG);
    EXPECT_EQ(twain->FileFormat(), ffPNG);
    twain->SetFileFormat(ffUNKNOWN);
    EXPECT_EQ(twain->FileFormat(), ffBMP);
}

TEST_F(TwainTest, FailureTextsNameModuleAndCondition) {
    twain->InitTWAIN();
    Dsm().Replies[{DAT_IDENTITY, MSG_OPENDS}] = TWRC_FAILURE;
    Dsm().Condition = TWCC_NODS;
    EXPECT_EQ(ErrorOf([&] { twain->OpenDataSource(); }),
              "Data Source Manager error in module OpenDataSource:\r\nData Source Manager was "
              "unable to find the specified Data Source.");
    EXPECT_FALSE(twain->IsDataSourceOpen());

    Dsm().Replies.clear();
    Dsm().Replies[{DAT_USERINTERFACE, MSG_ENABLEDS}] = TWRC_CHECKSTATUS;
    twain->OpenDataSource();
    EXPECT_EQ(ErrorOf([&] { twain->EnableDataSource(); }),
              "A call to the Data Source Manager failed in module EnableDataSource: Code 0002");
    EXPECT_FALSE(twain->IsDataSourceEnabled());

    Dsm().Replies[{DAT_STATUS, MSG_GET}] = TWRC_FAILURE;
    EXPECT_EQ(ErrorOf([&] { twain->RaiseLastDataSourceCondition("X"); }),
              "Unable to get the status");
    EXPECT_EQ(TSRTWAIN::Condition2String(7), "Unknown condition 0007");

    // A scanner failure TWAIN has no words for is told in the scanner's own.
    Dsm().Replies.erase({DAT_STATUS, MSG_GET});
    Dsm().Status = TWCC_IMGLIFT_SANE;
    Dsm().StatusText = "Document feeder out of documents";
    EXPECT_EQ(ErrorOf([&] { twain->RaiseLastDataSourceCondition("Native Transfer"); }),
              "Data Source Manager error in module Native Transfer:\r\nDocument feeder out of "
              "documents");
    EXPECT_EQ(ErrorOf([&] { twain->CloseDataSourceManager(); }),
              "Unable to close the Data Source Manager. Maybe a source is still in use");
    EXPECT_TRUE(twain->IsDataSourceManagerOpen());
    Dsm().Replies.clear();
    twain->CloseDataSource();
}

TEST_F(TwainTest, PreconditionsRaiseAssertionsWithTheirPlace) {
    EXPECT_THAT(ErrorOf([&] { twain->OpenDataSourceManager(); }),
                StartsWith("Assertion failure (srtwain_dsm.cpp, line "));
    EXPECT_THAT(ErrorOf([&] { twain->OpenDataSource(); }),
                StartsWith("Data Source Manager must be open ("));
    EXPECT_THAT(ErrorOf([&] { twain->EnableDataSource(); }),
                StartsWith("Data Source must be open ("));
    twain->InitTWAIN();
    twain->OpenDataSource();
    EXPECT_THAT(ErrorOf([&] { twain->SelectDataSource(); }),
                StartsWith("Data Source must be closed ("));
    twain->CloseDataSource();
}

TEST_F(TwainTest, TheLastSelectionStaysTheDefault) {
    WriteProfileString("TWAIN", "DEFAULT SOURCE", "Fake Scanner");
    twain->InitTWAIN();
    Dsm().UserSelectReply = TWRC_CANCEL;
    twain->SelectDataSource();
    EXPECT_EQ(twain->SourceIdentity().ProductName[0], 0) << "a cancelled choice changes nothing";

    Dsm().UserSelectReply = TWRC_SUCCESS;
    twain->SelectDataSource();
    EXPECT_STREQ(twain->SourceIdentity().ProductName, "Fake Camera");
    twain->OpenDataSource();
    EXPECT_STREQ(twain->SourceIdentity().ProductName, "Fake Camera");
    twain->CloseDataSource();
    twain.reset();
    EXPECT_EQ(GetProfileString("TWAIN", "DEFAULT SOURCE"), "Fake Camera");

    Dsm().UserSelectReply = TWRC_FAILURE;
    Dsm().Condition = TWCC_BUMMER;
    twain = std::make_unique<TSRTWAIN>(&window);
    twain->InitTWAIN();
    EXPECT_THAT(ErrorOf([&] { twain->SelectDataSource(); }),
                HasSubstr("in module SelectDataSource2:\r\nGeneral failure."));
}

TEST_F(TwainTest, DriverFoundWhenTheManagerListsASource) {
    EXPECT_TRUE(twain->TwainDriverFound()); // asks even before InitTWAIN
    EXPECT_EQ(Dsm().State, 1);
    Dsm().Sources.clear();
    twain->InitTWAIN();
    EXPECT_FALSE(twain->IsTwainDriverAvailable());
    EXPECT_TRUE(twain->IsDataSourceManagerOpen());
}

TEST_F(TwainTest, HookChainsToThePreviousOneAndIsPutBack) {
    int seen = 0, seenHandled = 0;
    const TMessageEvent previous = [&](QEvent*, bool& Handled) {
        ++seen;
        seenHandled += Handled;
    };
    apphook::SetOnMessage(previous);
    twain->InitTWAIN();
    QCoreApplication::postEvent(&window, new QEvent(QEvent::User));
    QCoreApplication::sendPostedEvents(&window);
    EXPECT_GE(seen, 1);
    EXPECT_EQ(seenHandled, 0);

    // The source's event is handled by the component and still shown to the previous hook.
    Dsm().EventAfterEnable = MSG_CLOSEDSREQ;
    twain->Acquire(bitmap);
    QCoreApplication::sendPostedEvents(&window);
    EXPECT_EQ(seenHandled, 1);
    EXPECT_EQ(ready, 1);

    twain.reset();
    seen = 0;
    bool handled = false;
    QEvent e(QEvent::User);
    apphook::OnMessage()(&e, handled);
    EXPECT_EQ(seen, 1);
    apphook::SetOnMessage(nullptr);
}

struct DibCase {
    const char* name;
    bool core;
    int bits;
    std::uint32_t clrUsed;
    int tableEntries; // as many as the header announces
};

class NativeTransfer : public TwainTest, public testing::WithParamInterface<DibCase> {};

TEST_P(NativeTransfer, RowsFollowTheColourTable) {
    const DibCase c = GetParam();
    std::vector<QRgb> table;
    for (int i = 0; i < c.tableEntries; ++i)
        table.push_back(qRgb(i * 7, 255 - i * 5, i * 13 % 256));
    const int levels = c.tableEntries;
    const auto value = [&](int x, int y) -> std::uint32_t {
        if (c.bits == 24) return (x * 40u) << 16 | (y * 80u) << 8 | 200u;
        return (x + 2 * y) % levels;
    };
    Dsm().Dib = MakeDib(c.core, c.bits, c.clrUsed, c.tableEntries, table, 5, 3, value);
    twain->SetDestination(xfFile);
    twain->InitTWAIN();
    Scan();
    ASSERT_EQ(ready, 1);
    EXPECT_EQ(twain->Destination(), xfNative);
    EXPECT_EQ(Dsm().XferMechType, TWTY_UINT16);
    EXPECT_EQ(Dsm().XferMech, TWSX_NATIVE);
    const QImage& image = bitmap.Image();
    ASSERT_EQ(image.size(), QSize(5, 3));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            const QRgb want = c.bits == 24 ? (0xff000000u | value(x, y)) : table[value(x, y)];
            EXPECT_EQ(image.pixel(x, y), want) << "at " << x << "," << y;
        }
    EXPECT_FALSE(twain->IsDataSourceOpen());
    EXPECT_TRUE(twain->IsDataSourceManagerOpen());
}

INSTANTIATE_TEST_SUITE_P(Dib, NativeTransfer,
                         testing::Values(DibCase{"Grey256Table1024", false, 8, 0, 256},
                                         DibCase{"Used17Table68", false, 8, 17, 17},
                                         DibCase{"Core4BitTable48", true, 4, 0, 16},
                                         DibCase{"LineArt", false, 1, 0, 2},
                                         DibCase{"Colour24NoTable", false, 24, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TwainTest, MoreImagesWaitingAreResetAndTheNextScanWorks) {
    Dsm().Dib = MakeDib(false, 24, 0, 0, {}, 2, 2, [](int, int) { return 0x102030u; });
    Dsm().PendingAfterFirst = 2;
    twain->InitTWAIN();
    Scan();
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(Dsm().Count(DAT_PENDINGXFERS, MSG_RESET), 1);
    EXPECT_EQ(Dsm().Count(DAT_IMAGENATIVEXFER, MSG_GET), 1);
    EXPECT_EQ(Dsm().State, 3);

    Dsm().PendingAfterFirst = 0;
    Dsm().Dib = MakeDib(false, 24, 0, 0, {}, 3, 1, [](int, int) { return 0x405060u; });
    Scan(); // without a new InitTWAIN
    EXPECT_EQ(ready, 2);
    EXPECT_EQ(bitmap.Image().size(), QSize(3, 1));
    EXPECT_EQ(Dsm().Count(DAT_PENDINGXFERS, MSG_RESET), 1);
}

TEST_F(TwainTest, CancelledTransferOrClosedDialogKeepsTheBitmap) {
    QImage before(4, 4, QImage::Format_RGB32);
    before.fill(Qt::green);
    bitmap.SetImage(before);
    twain->InitTWAIN();
    Dsm().Replies[{DAT_IMAGENATIVEXFER, MSG_GET}] = TWRC_CANCEL;
    Scan();
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(Dsm().Count(DAT_PENDINGXFERS, MSG_ENDXFER), 1);

    Dsm().EventAfterEnable = MSG_CLOSEDSREQ;
    Scan();
    EXPECT_EQ(ready, 2);
    EXPECT_EQ(bitmap.Image(), before);
    EXPECT_FALSE(twain->IsDataSourceOpen());
    EXPECT_TRUE(twain->IsDataSourceManagerOpen());
    EXPECT_EQ(Dsm().State, 3);
}

TEST_F(TwainTest, FailedTransferRaisesAndLeavesTheSourceReadyForTheNextScan) {
    twain->InitTWAIN();
    Dsm().Replies[{DAT_IMAGENATIVEXFER, MSG_GET}] = TWRC_FAILURE;
    Dsm().Condition = TWCC_LOWMEMORY;
    EXPECT_EQ(ErrorOf([&] { Scan(); }),
              "Data Source Manager error in module Native "
              "Transfer:\r\nNot enough memory to complete the operation.");
    EXPECT_EQ(ready, 0);
    EXPECT_FALSE(twain->IsDataSourceEnabled());
    EXPECT_FALSE(twain->IsDataSourceOpen());
    EXPECT_EQ(Dsm().State, 3);

    Dsm().Replies.clear();
    Dsm().Dib = MakeDib(false, 24, 0, 0, {}, 2, 2, [](int, int) { return 0x102030u; });
    Scan();
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(bitmap.Image().size(), QSize(2, 2));
}

TEST_F(TwainTest, FailingEndOfTransferRaisesWithoutEndingTheScan) {
    Dsm().Dib = MakeDib(false, 24, 0, 0, {}, 2, 2, [](int, int) { return 0x102030u; });
    Dsm().Replies[{DAT_PENDINGXFERS, MSG_ENDXFER}] = TWRC_FAILURE;
    Dsm().Condition = TWCC_SEQERROR;
    twain->InitTWAIN();
    EXPECT_THAT(ErrorOf([&] { Scan(); }),
                StartsWith("Data Source Manager error in module Check for Pending Transfers:"));
    EXPECT_EQ(ready, 0);
    EXPECT_TRUE(twain->IsDataSourceEnabled());
    // The destructor still takes the source down.
    Dsm().Replies.clear();
    Dsm().State = 5;
}

} // namespace
