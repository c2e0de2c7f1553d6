#pragma once

// Scrambles the stored FTP password by a position-dependent shift of every character, derived
// from a key string and a program number. Hides the text from a casual look; not encryption.

#include <QObject>
#include <cstdint>
#include <string>

class TVKeey : public QObject {
    Q_OBJECT

public:
    explicit TVKeey(QObject* owner = nullptr);

    std::int32_t ProgrammID() const { return FProgrammID; }
    // Takes only 1..49; any other value leaves the previous one.
    void SetProgrammID(std::int32_t value);
    const std::string& Schluessel() const { return FSchluessel; }
    void SetSchluessel(const std::string& value) { FSchluessel = value; }

    // Code (0..255) of the first character; 0 for the empty text.
    std::int32_t StrToAsc(const std::string& text) const;
    // One character of the given code (its low byte).
    std::string AscToStr(std::int32_t code) const;
    // Character-code sum divided by (length - 1); a one-character key yields its own code.
    std::int32_t MakeKey(const std::string& key) const;
    // MakeKey(Schluessel), kept as the generated key.
    std::int32_t GetGeneratedKey();

    // Every output character has a code from 1 to 255; Decode(Encode(t)) == t for codes 1..255.
    std::string Encode(const std::string& text);
    std::string Decode(const std::string& text);

private:
    std::string Shift(const std::string& text, int direction);

    std::int32_t FProgrammID = 0;
    std::string FSchluessel;
    std::int32_t FGeneratedKey = 0;
};
