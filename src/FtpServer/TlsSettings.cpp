#include "TlsSettings.h"

#include <string.h>

namespace osprel {

namespace {

const char *valueOf(TlsEnvironmentGetter getter, const char *name) {
    const char *value = getter(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool parseMode(const char *text, TlsMode *mode) {
    static const struct {
        const char *name;
        TlsMode mode;
    } kModes[] = {{"off", TlsMode::kOff}, {"allowed", TlsMode::kAllowed}, {"required", TlsMode::kRequired}};
    for (const auto &candidate : kModes) {
        if (strcmp(text, candidate.name) == 0) {
            *mode = candidate.mode;
            return true;
        }
    }
    return false;
}

}  // namespace

bool readTlsSettings(TlsEnvironmentGetter getter, TlsSettings *settings, std::string *error) {
    const char *certificate = valueOf(getter, "OSPREL_FTP_TLS_CERT");
    const char *key = valueOf(getter, "OSPREL_FTP_TLS_KEY");
    const char *mode = valueOf(getter, "OSPREL_FTP_TLS");
    const char *resume = valueOf(getter, "OSPREL_FTP_TLS_RESUME");

    if ((certificate == nullptr) != (key == nullptr)) {
        *error = "OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY must be set together";
        return false;
    }
    settings->mode = certificate != nullptr ? TlsMode::kAllowed : TlsMode::kOff;
    if (mode != nullptr && !parseMode(mode, &settings->mode)) {
        *error = std::string("OSPREL_FTP_TLS must be off, allowed or required, not \"") + mode + "\"";
        return false;
    }
    if (settings->mode != TlsMode::kOff && certificate == nullptr) {
        *error = std::string("OSPREL_FTP_TLS=") + mode + " needs OSPREL_FTP_TLS_CERT and OSPREL_FTP_TLS_KEY";
        return false;
    }
    if (resume != nullptr && strcmp(resume, "0") != 0 && strcmp(resume, "1") != 0) {
        *error = std::string("OSPREL_FTP_TLS_RESUME must be 1 or 0, not \"") + resume + "\"";
        return false;
    }
    settings->requireResumption = resume == nullptr || strcmp(resume, "1") == 0;
    if (settings->mode != TlsMode::kOff) {
        settings->certificatePath = certificate;
        settings->keyPath = key;
    }
    return true;
}

}  // namespace osprel
