#include "engine/crypto/CryptoErrors.h"

#include <openssl/err.h>

namespace cryptoerrors {

nocase_wstring openSslErrorText()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return {};
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr)
        return toWide(reason);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return toWide(text);
}

} // namespace cryptoerrors
