#include "TavelinPlatform/identity/OpenSslHandles.h"

#include <openssl/err.h>

namespace tavelin {

X509Ptr shareCertificate(X509* certificate) {
    if (certificate == nullptr || X509_up_ref(certificate) != 1) {
        return X509Ptr{};
    }
    return X509Ptr(certificate);
}

std::string takeOpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "no error details";
    }
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace tavelin
