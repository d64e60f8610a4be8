#pragma once

#include <cstddef>
#include <string>

// Passwords and plain file keys live in ordinary strings on their way
// through the engine. Clearing a string only sets its length to zero; these
// overwrite the bytes first, so a secret does not linger in freed or reused
// memory (as the wiped buffers of file bodies do not).

// Overwrites every byte the string holds, its unused capacity and short-
// string buffer included, and leaves it empty.
void wipeText(std::string& text) noexcept;

// A secret text that is wiped when it goes away. It reads as a const
// std::string, so it passes wherever one is expected.
class SecretText {
public:
    SecretText() = default;
    // Takes the text over and wipes what is left in the source.
    explicit SecretText(std::string&& text);
    SecretText(const SecretText& other) = default;
    SecretText& operator=(const SecretText& other);
    ~SecretText();

    [[nodiscard]] const std::string& text() const { return value; }
    operator const std::string&() const { return value; }
    [[nodiscard]] std::size_t size() const { return value.size(); }
    [[nodiscard]] bool empty() const { return value.empty(); }
    [[nodiscard]] std::string::const_iterator begin() const { return value.begin(); }
    [[nodiscard]] std::string::const_iterator end() const { return value.end(); }

    friend bool operator==(const SecretText& a, const std::string& b) { return a.value == b; }
    friend bool operator==(const SecretText& a, const SecretText& b) { return a.value == b.value; }

private:
    std::string value;
};
