// Compression trigger: paths handed to the shell as single words. An archive path comes
// from a remote request; quoting it keeps a space, a quote, ';', '$(...)', a backtick or a
// newline from ever starting a second command.
#include <cstring>

#include "logCompress/LogCompTriggerInternal.h"

namespace {

bool IsPlainShellChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return c != '\0' && strchr("_./:@%+,=-", c) != nullptr;
}

bool IsPlainShellWord(const char* word) {
    if (*word == '\0') {
        return false;
    }
    for (const char* p = word; *p != '\0'; p++) {
        if (!IsPlainShellChar(*p)) {
            return false;
        }
    }
    return true;
}

// Appends `text` at out[len] when it fits; returns the new full length either way.
size_t Append(char* out, size_t outSize, size_t len, const char* text) {
    size_t textLen = strlen(text);
    if (len + textLen < outSize) {
        memcpy(out + len, text, textLen + 1);
    }
    return len + textLen;
}

}  // namespace

size_t LCTShellQuote(const char* word, char* out, size_t outSize) {
    if (outSize > 0) {
        out[0] = '\0';
    }
    if (IsPlainShellWord(word)) {
        return Append(out, outSize, 0, word);
    }
    size_t len = Append(out, outSize, 0, "'");
    char one[2] = {0, 0};
    for (const char* p = word; *p != '\0'; p++) {
        one[0] = *p;
        len = Append(out, outSize, len, *p == '\'' ? "'\\''" : one);
    }
    return Append(out, outSize, len, "'");
}

const char* LCTLogDirWord(void) {
    static_assert(sizeof(LOG_COMP_LOG_DIR) <= 512, "log directory too long for the commands");
    static char sWord[LCTShellQuotedMax(sizeof(LOG_COMP_LOG_DIR)) + 1];
    static const size_t sLen = LCTShellQuote(LOG_COMP_LOG_DIR, sWord, sizeof(sWord));
    (void)sLen;
    return sWord;
}

bool LCTIsSafeArchivePath(const char* path) {
    if (path == nullptr || path[0] == '\0' || path[0] == '-') {
        return false;
    }
    const char* colon = strchr(path, ':');
    const char* slash = strchr(path, '/');
    return colon == nullptr || (slash != nullptr && slash < colon);
}
