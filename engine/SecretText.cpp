#include "engine/SecretText.h"

#include <string.h>

void wipeText(std::string& text) noexcept
{
    // Whole capacity: a string that once held a longer secret keeps its tail.
    text.resize(text.capacity());
    ::explicit_bzero(text.data(), text.size());
    text.clear();
}

SecretText::SecretText(std::string&& text)
    : value(text)
{
    wipeText(text);
}

SecretText& SecretText::operator=(const SecretText& other)
{
    if (this != &other) {
        wipeText(value);
        value = other.value;
    }
    return *this;
}

SecretText::~SecretText()
{
    wipeText(value);
}
