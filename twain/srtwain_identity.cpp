// Identity, properties and the texts of return and condition codes.

#include "twain/srtwain.h"

#include <QCursor>
#include <QGuiApplication>
#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

std::string Where(const std::source_location& Where) {
    const char* const file = Where.file_name();
    const char* const slash = std::strrchr(file, '/');
    return std::string(slash ? slash + 1 : file) + ", line " + std::to_string(Where.line());
}

// Clears the whole field and copies the text, cut to leave room for the terminating zero.
template <std::size_t N> void SetFixed(char (&Field)[N], const QString& Value, std::size_t Max) {
    std::memset(Field, 0, N);
    const QByteArray bytes = Value.toLatin1();
    std::memcpy(Field, bytes.constData(), std::min<std::size_t>(bytes.size(), Max));
}

template <std::size_t N> QString GetFixed(const char (&Field)[N]) {
    return QString::fromLatin1(Field, static_cast<qsizetype>(strnlen(Field, N)));
}

constexpr std::array<std::pair<TLanguageType, TW_UINT16>, 16> kLanguages{{
    {lgDutch, 1},
    {lgEnglish, 2},
    {lgFrench, 5},
    {lgGerman, 6},
    {lgAmerican, 13},
    {lgItalian, 8},
    {lgSpanish, 11},
    {lgNorwegian, 9},
    {lgFinnish, 4},
    {lgDanish, 0},
    {lgRussian, 78},
    {lgPortuguese, 10},
    {lgSwedish, 12},
    {lgPolish, 75},
    {lgGreek, 63},
    {lgTurkish, 85},
}};

constexpr std::array<std::pair<TCountryType, TW_UINT16>, 16> kCountries{{
    {ctNetherlands, 31},
    {ctEngland, 6},
    {ctFrance, 33},
    {ctGermany, 49},
    {ctUSA, 1},
    {ctSpain, 34},
    {ctItaly, 39},
    {ctDenmark, 45},
    {ctFinland, 358},
    {ctNorway, 47},
    {ctRussia, 7},
    {ctPortugal, 351},
    {ctSweden, 46},
    {ctPoland, 48},
    {ctGreece, 30},
    {ctTurkey, 90},
}};

// Codes outside the table read as the enumeration's first value.
template <class E, std::size_t N>
E FromCode(const std::array<std::pair<E, TW_UINT16>, N>& Table, TW_UINT16 Code) {
    for (const auto& [value, code] : Table)
        if (code == Code) return value;
    return static_cast<E>(0);
}

template <class E, std::size_t N>
TW_UINT16 ToCode(const std::array<std::pair<E, TW_UINT16>, N>& Table, E Value) {
    for (const auto& [value, code] : Table)
        if (value == Value) return code;
    return Table[0].second;
}

std::string Hex4(unsigned Value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.04x", Value);
    return text;
}

} // namespace

EAssertionFailed::EAssertionFailed(const std::string& Text, std::source_location Where_)
    : std::runtime_error(Text + " (" + Where(Where_) + ")") {
}

QString TSRTWAIN::Productname() const {
    return GetFixed(FAppId.ProductName);
}
void TSRTWAIN::SetProductname(const QString& Value) {
    SetFixed(FAppId.ProductName, Value, 32);
}
QString TSRTWAIN::Manufacturer() const {
    return GetFixed(FAppId.Manufacturer);
}
void TSRTWAIN::SetManufacturer(const QString& Value) {
    SetFixed(FAppId.Manufacturer, Value, 32);
}
QString TSRTWAIN::ProductFamily() const {
    return GetFixed(FAppId.ProductFamily);
}
void TSRTWAIN::SetProductFamily(const QString& Value) {
    SetFixed(FAppId.ProductFamily, Value, 32);
}
QString TSRTWAIN::VersionInfo() const {
    return GetFixed(FAppId.Version.Info);
}
void TSRTWAIN::SetVersionInfo(const QString& Value) {
    SetFixed(FAppId.Version.Info, Value, 32);
}
QString TSRTWAIN::Filename() const {
    return GetFixed(FFileSetup.FileName);
}
void TSRTWAIN::SetFilename(const QString& Value) {
    SetFixed(FFileSetup.FileName, Value, sizeof FFileSetup.FileName - 1);
}

TLanguageType TSRTWAIN::Language() const {
    return FromCode(kLanguages, FAppId.Version.Language);
}
void TSRTWAIN::SetLanguage(TLanguageType Value) {
    FAppId.Version.Language = ToCode(kLanguages, Value);
}
TCountryType TSRTWAIN::Country() const {
    return FromCode(kCountries, FAppId.Version.Country);
}
void TSRTWAIN::SetCountry(TCountryType Value) {
    FAppId.Version.Country = ToCode(kCountries, Value);
}

void TSRTWAIN::SetFileFormat(TImageType Value) {
    const TW_UINT16 code = Value == ffUNKNOWN ? TWFF_BMP : static_cast<TW_UINT16>(Value);
    FFileSetup.Format = code;
    FFormat = code;
}

Qt::CursorShape TSRTWAIN::Cursor() const {
    const QCursor* const cursor = QGuiApplication::overrideCursor();
    return cursor ? cursor->shape() : Qt::ArrowCursor;
}

void TSRTWAIN::SetCursor(Qt::CursorShape Value) {
    if (Value == Cursor()) return;
    if (Value == Qt::ArrowCursor) {
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
    } else if (QGuiApplication::overrideCursor()) {
        QGuiApplication::changeOverrideCursor(Value);
    } else {
        QGuiApplication::setOverrideCursor(Value);
    }
}

QString TSRTWAIN::Condition2String(TW_UINT16 ConditionCode) {
    switch (ConditionCode) {
    case TWCC_SUCCESS:
        return QStringLiteral("Operation was succesful.");
    case TWCC_BUMMER:
        return QStringLiteral("General failure. Unload Source immediately.");
    case TWCC_LOWMEMORY:
        return QStringLiteral("Not enough memory to complete the operation.");
    case TWCC_NODS:
        return QStringLiteral("Data Source Manager was unable to find the specified Data Source.");
    case TWCC_MAXCONNECTIONS:
        return QStringLiteral(
            "Data Source is connected to maximum supported number of \r\napplications.");
    case TWCC_OPERATIONERROR:
        return QStringLiteral("Data Source or Data Source Manager reported an error to the\r\nuser "
                              "and handled the error. No application action required.");
    case TWCC_BADCAP:
        return QStringLiteral(
            "Capability not supported by source or operation (get,\r\nset) is not supported on "
            "capability, or capability had\r\ndependencies on other capabilities and cannot "
            "be\r\noperated upon at this time");
    case TWCC_BADPROTOCOL:
        return QStringLiteral("Unrecognized operation triplet.");
    case TWCC_BADVALUE:
        return QStringLiteral("Data parameter out of supported range.");
    case TWCC_SEQERROR:
        return QStringLiteral(
            "Illegal operation for current Data Source Manager\r\nand Data Source state.");
    case TWCC_BADDEST:
        return QStringLiteral("Unknown destination in DSM_Entry.");
    case TWCC_CAPUNSUPPORTED:
        return QStringLiteral("Capability not supported by Data Source.");
    case TWCC_CAPBADOPERATION:
        return QStringLiteral("Operation not supported on capability.");
    case TWCC_CAPSEQERROR:
        return QStringLiteral("Capability has dependencies on other capabilities and \r\ncannot "
                              "be operated upon at this time.");
    case TWCC_DENIED:
        return QStringLiteral("File System operation is denied (file is protected).");
    case TWCC_FILEEXISTS:
        return QStringLiteral("Operation failed because file already exists.");
    case TWCC_FILENOTFOUND:
        return QStringLiteral("File not found.");
    case TWCC_NOTEMPTY:
        return QStringLiteral("Operation failed because directory is not empty.");
    case TWCC_PAPERJAM:
    case TWCC_PAPERDOUBLEFEED:
        return QStringLiteral("Transfer failed because of a feeder error");
    default:
        return QString::fromStdString("Unknown condition " + Hex4(ConditionCode));
    }
}

void TSRTWAIN::TwainCheckDataSourceManager(TW_UINT16 Res, const QString& Module) {
    if (Res == TWRC_SUCCESS) return;
    if (Res == TWRC_FAILURE) RaiseLastDataSourceManagerCondition(Module);
    throw ETwainError("A call to the Data Source Manager failed in module " + Module.toStdString() +
                      ": Code " + Hex4(Res));
}

void TSRTWAIN::TwainCheckDataSource(TW_UINT16 Res, const QString& Module) {
    if (Res == TWRC_SUCCESS) return;
    if (Res == TWRC_FAILURE) RaiseLastDataSourceCondition(Module);
    throw ETwainError("A call to the Data Source Manager failed in module " + Module.toStdString() +
                      ": Code " + Hex4(Res));
}

void TSRTWAIN::RaiseLastDataSourceManagerCondition(const QString& Module) {
    RaiseCondition(nullptr, Module);
}

void TSRTWAIN::RaiseLastDataSourceCondition(const QString& Module) {
    RaiseCondition(&FSourceId, Module);
}

void TSRTWAIN::RaiseCondition(pTW_IDENTITY pDest, const QString& Module) {
    TW_STATUS status{};
    if (CallDataSourceManager(pDest, DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS)
        throw ETwainError("Unable to get the status");
    throw ETwainError("Data Source Manager error in module " + Module.toStdString() + ":\r\n" +
                      Condition2String(status.ConditionCode).toStdString());
}
