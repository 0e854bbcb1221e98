// IDN conversion: host names, the host part of URLs and the domain part of
// e-mail addresses between their UTF-8 and ASCII (punycode) forms, through
// libidn with flags 0.
#include "hcp_util.h"

#include "owners.hpp"

#include <idna.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex.h>
#include <string_view>

namespace
{

// Groups: scheme, user information with its '@', host, the rest.
const char k_url_expression[] = "^(ftp://|https?://)?([^@]+@)?([^/:]+)(.*)?$";
constexpr size_t k_url_groups = 5; // the whole match and the four groups
constexpr size_t k_url_result_bytes = 4096;
constexpr size_t k_regerror_bytes = 4096;

char url_result[k_url_result_bytes];

// libidn cannot allocate: nothing sensible is left to do.
void fail_if_out_of_memory(int rc)
{
    if (rc == IDNA_MALLOC_ERROR)
        print_error(1, "Allocation failed");
}

// The ASCII form, newly allocated, or NULL with the code in idn_last_error.
char *to_ascii(const char *name)
{
    char *output = nullptr;
    int rc = idna_to_ascii_8z(name, &output, 0);
    fail_if_out_of_memory(rc);
    if (rc != IDNA_SUCCESS) {
        idn_last_error = rc;
        std::free(output);
        return nullptr;
    }
    return output;
}

std::string_view group(const char *subject, const regmatch_t &m)
{
    if (m.rm_so < 0)
        return {};
    return {subject + m.rm_so, size_t(m.rm_eo - m.rm_so)};
}

void report_url_too_long()
{
    errno = 0;
    print_error(0, "idn_url_toascii: URL too long. Buffer too short");
}

[[noreturn]] void report_strict_failure(const char *function, const char *argument)
{
    errno = 0;
    print_error(1, "%s(%s) failed: %s", function, argument, idn_error_text(idn_last_error));
    std::abort(); // not reached: print_error exits for a non-zero status
}

} // namespace

extern "C" {

int idn_last_error = 0;

const char *idn_error_text(int code)
{
    switch (code) {
    case IDNA_SUCCESS:
        return "Success";
    case IDNA_STRINGPREP_ERROR:
        return "Stringprep error";
    case IDNA_PUNYCODE_ERROR:
        return "Punycode error";
    case IDNA_CONTAINS_NON_LDH:
        return "Contains non-LDH characters";
    case IDNA_CONTAINS_MINUS:
        return "Contains minus";
    case IDNA_INVALID_LENGTH:
        return "Invalid length";
    case IDNA_NO_ACE_PREFIX:
        return "ACE prefix not found";
    case IDNA_ROUNDTRIP_VERIFY_ERROR:
        return "Verify error";
    case IDNA_CONTAINS_ACE_PREFIX:
        return "ACE prefix found";
    case IDNA_ICONV_ERROR:
        return "Iconv error";
    case IDNA_MALLOC_ERROR:
        return "Cannot allocate buffer";
    default:
        return "Unknown error";
    }
}

char *idn_toascii(const char *name)
{
    return to_ascii(name);
}

char *idn_toascii_safe(const char *name)
{
    char *ascii = to_ascii(name);
    if (ascii == nullptr)
        report_strict_failure("idn_toascii_safe", name);
    return ascii;
}

char *idn_toutf8(const char *name)
{
    char *output = nullptr;
    int rc = idna_to_unicode_8z8z(name, &output, 0);
    fail_if_out_of_memory(rc);
    if (rc != IDNA_SUCCESS)
        idn_last_error = rc;
    return output;
}

char *idn_toutf8_safe(const char *name)
{
    char *utf8 = idn_toutf8(name);
    if (utf8 == nullptr)
        report_strict_failure("idn_toutf8_safe", name);
    return utf8;
}

char *idn_url_toascii(const char *url)
{
    regex_t expression;
    int rc = regcomp(&expression, k_url_expression, REG_EXTENDED);
    if (rc != 0) {
        char text[k_regerror_bytes];
        regerror(rc, &expression, text, sizeof text);
        errno = 0;
        print_error(1, "regcomp() failed: %s", text);
    }
    regmatch_t m[k_url_groups];
    rc = regexec(&expression, url, k_url_groups, m, 0);
    if (rc != 0) {
        char text[k_regerror_bytes];
        regerror(rc, &expression, text, sizeof text);
        regfree(&expression);
        errno = 0;
        print_error(0, "regexec() failed: %s", text);
        return nullptr;
    }
    regfree(&expression);

    std::string_view scheme = group(url, m[1]);
    std::string_view user = group(url, m[2]);
    std::string_view host = group(url, m[3]);
    std::string_view rest = group(url, m[4]);
    if (host.empty()) {
        errno = 0;
        print_error(0, "no hostname found in URL");
        return nullptr;
    }
    // A cut host or URL would name another server: refuse what does not fit.
    if (host.size() >= k_url_result_bytes) {
        report_url_too_long();
        return nullptr;
    }
    char host_text[k_url_result_bytes];
    std::memcpy(host_text, host.data(), host.size());
    host_text[host.size()] = '\0';

    hcp::unique_malloc<char> ascii(to_ascii(host_text));
    if (!ascii) {
        errno = 0;
        print_error(0, "idn_toascii() failed: %s", idn_error_text(idn_last_error));
        return nullptr;
    }
    std::string_view ascii_host = ascii.get();
    size_t length = scheme.size() + user.size() + ascii_host.size() + rest.size();
    if (length >= k_url_result_bytes) {
        report_url_too_long();
        return nullptr;
    }
    // The URL may be an earlier result, i.e. this very buffer: assemble aside first.
    char assembled[k_url_result_bytes];
    size_t used = 0;
    for (std::string_view piece : {scheme, user, ascii_host, rest}) {
        if (piece.empty())
            continue; // an unmatched group has no data at all
        std::memcpy(assembled + used, piece.data(), piece.size());
        used += piece.size();
    }
    assembled[used] = '\0';
    std::memcpy(url_result, assembled, used + 1);
    return url_result;
}

char *idn_email_toascii(const char *address)
{
    const char *at = std::strchr(address, '@');
    if (at == nullptr)
        return nullptr;
    hcp::unique_malloc<char> domain(to_ascii(at + 1));
    if (!domain)
        return nullptr;
    return alloc_printf("%.*s@%s", static_cast<int>(at - address), address, domain.get());
}

char *idn_email_toascii_safe(const char *address)
{
    char *ascii = idn_email_toascii(address);
    if (ascii == nullptr)
        report_strict_failure("idn_email_toascii_safe", address);
    return ascii;
}

} // extern "C"
