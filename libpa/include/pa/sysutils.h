#pragma once
// Small stand-ins for the class library's run-time services that the framework
// and the program rely on: its exception type, its decimal separator and its
// number conversions.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace pa {

// The class library's exception type: every failure the framework or the
// program raises carries its text in one of these.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// The class library's decimal separator ('.' until the program sets it; the
// program sets a comma at start-up). Used by the conversions below and so by
// the edit controls.
char decimalSeparator();
void setDecimalSeparator(char separator);

// Integer in decimal.
std::string intToStr(std::int32_t value);
// General format with 15 significant digits and the current decimal
// separator: fixed notation while the integer part has at most 15 digits and
// the magnitude is at least 0.00001, else "d.dddE[-]x"; trailing zeros dropped.
std::string floatToStr(long double value);

// Conversions that accept surrounding blanks and an optional sign and reject
// anything else; the separator is the current decimal separator, never a point
// in its place. The C locale rules, whatever the process locale.
bool tryStrToInt(const std::string& text, std::int32_t& value);
bool tryStrToFloat(const std::string& text, long double& value);

// Texts are UTF-8 in memory. A file holds a text in Latin-1, the single-byte
// set older files use, byte for byte as they did, wherever Latin-1 can hold
// it; otherwise as UTF-8 behind a byte order mark (EF BB BF), which readers
// that know it take for UTF-8 and older ones show as three Latin-1 signs
// before the bytes, nothing cut. Latin-1 bytes that would read as such a
// marked text are stored marked too, so every text reads back as written
// and every file saves back to its own bytes. A byte of `text` that starts
// no well-formed UTF-8 sequence stands for the Latin-1 character of its value.
std::string storedText(std::string_view text);
std::string textFromStored(std::string_view bytes);

} // namespace pa
