#include "engine/release_statement_text.h"

#include <cstdio>

namespace {

constexpr const char* KEYS[] = {"version",     "lastVer", "list-sha256", "files-sha256",
                                "main-sha256", "issued",  "expires",     "rollback"};
constexpr size_t KEY_COUNT = sizeof(KEYS) / sizeof(KEYS[0]);
constexpr char LINE_END[] = "\r\n";
constexpr char NEVER[] = "never";
constexpr size_t SHA256_DIGITS = 64;
constexpr long long SECONDS_PER_DAY = 86400;
// Numbers of more digits are no version the updater could be told.
constexpr size_t LONGEST_NUMBER = 9;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits without a needless leading zero.
bool ReadNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > LONGEST_NUMBER || (text.size() > 1 && text[0] == '0'))
        return false;
    value = 0;
    for (char c : text) {
        if (!IsDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Splits text at every CR LF; false when it does not end with one or holds a
// lone CR or LF.
bool SplitLines(const std::string& text, std::vector<std::string>& lines) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(LINE_END, start);
        if (end == std::string::npos) return false;
        const std::string line = text.substr(start, end - start);
        if (line.find_first_of("\r\n") != std::string::npos) return false;
        lines.push_back(line);
        start = end + 2;
    }
    return true;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

void CivilFromDays(long long days, long long& year, unsigned& month, unsigned& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<long long>(yearOfEra) + era * 400 + (month <= 2);
}

bool ReadDigits(const std::string& text, size_t at, size_t count, unsigned& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!IsDigit(text[i])) return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

}  // namespace

std::string UtcText(long long seconds) {
    long long days = seconds / SECONDS_PER_DAY;
    long long rest = seconds % SECONDS_PER_DAY;
    if (rest < 0) {
        rest += SECONDS_PER_DAY;
        --days;
    }
    long long year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, year, month, day);
    char text[32] = {};
    std::snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", year, month, day,
                  rest / 3600, rest / 60 % 60, rest % 60);
    return text;
}

bool ParseUtcText(const std::string& text, long long& seconds) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z' || !ReadDigits(text, 0, 4, year) ||
        !ReadDigits(text, 5, 2, month) || !ReadDigits(text, 8, 2, day) ||
        !ReadDigits(text, 11, 2, hour) || !ReadDigits(text, 14, 2, minute) ||
        !ReadDigits(text, 17, 2, second)) {
        return false;
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    const long long days = DaysFromCivil(year, month, day);
    // A day past the month's end would read as the next month's.
    long long checkYear = 0;
    unsigned checkMonth = 0;
    unsigned checkDay = 0;
    CivilFromDays(days, checkYear, checkMonth, checkDay);
    if (checkMonth != month || checkDay != day) return false;
    seconds = days * SECONDS_PER_DAY + hour * 3600 + minute * 60 + second;
    return true;
}

bool IsSha256Hex(const std::string& text) {
    if (text.size() != SHA256_DIGITS) return false;
    for (char c : text) {
        if (!IsDigit(c) && !(c >= 'a' && c <= 'f')) return false;
    }
    return true;
}

std::string StatementVersionText(const ReleaseStatement& statement) {
    return std::to_string(statement.major) + "." + std::to_string(statement.minor) + "." +
           std::to_string(statement.build);
}

int CompareVersions(int majorA, int minorA, int buildA, int majorB, int minorB, int buildB) {
    if (majorA != majorB) return majorA < majorB ? -1 : 1;
    if (minorA != minorB) return minorA < minorB ? -1 : 1;
    if (buildA != buildB) return buildA < buildB ? -1 : 1;
    return 0;
}

std::string StatementText(const ReleaseStatement& statement) {
    const std::string values[KEY_COUNT] = {
        StatementVersionText(statement),
        std::to_string(statement.lastVer),
        statement.listSha256,
        statement.filesSha256,
        statement.mainSha256,
        UtcText(statement.issued),
        statement.expires == STATEMENT_NEVER_EXPIRES ? NEVER : UtcText(statement.expires),
        statement.rollback ? "1" : "0"};
    std::string text;
    for (size_t i = 0; i < KEY_COUNT; ++i)
        text += std::string(KEYS[i]) + "=" + values[i] + LINE_END;
    return text;
}

bool ParseStatementText(const std::string& text, ReleaseStatement& statement) {
    std::vector<std::string> lines;
    if (!SplitLines(text, lines) || lines.size() != KEY_COUNT) return false;
    std::string values[KEY_COUNT];
    for (size_t i = 0; i < KEY_COUNT; ++i) {
        const std::string key = std::string(KEYS[i]) + "=";
        if (lines[i].compare(0, key.size(), key) != 0) return false;
        values[i] = lines[i].substr(key.size());
    }
    ReleaseStatement read;
    const std::string& version = values[0];
    const size_t first = version.find('.');
    const size_t second = first == std::string::npos ? first : version.find('.', first + 1);
    if (second == std::string::npos || !ReadNumber(version.substr(0, first), read.major) ||
        !ReadNumber(version.substr(first + 1, second - first - 1), read.minor) ||
        !ReadNumber(version.substr(second + 1), read.build) || read.minor > 99) {
        return false;
    }
    if (!ReadNumber(values[1], read.lastVer) || read.lastVer == 0) return false;
    read.listSha256 = values[2];
    read.filesSha256 = values[3];
    read.mainSha256 = values[4];
    if (!IsSha256Hex(read.listSha256) || !IsSha256Hex(read.filesSha256) ||
        !IsSha256Hex(read.mainSha256)) {
        return false;
    }
    if (!ParseUtcText(values[5], read.issued)) return false;
    if (values[6] != NEVER && !ParseUtcText(values[6], read.expires)) return false;
    if (values[7] != "0" && values[7] != "1") return false;
    read.rollback = values[7] == "1";
    statement = read;
    return true;
}

std::string FileDigestsText(const std::vector<std::pair<std::string, std::string>>& digests) {
    std::string text;
    for (const auto& digest : digests) text += digest.first + "=" + digest.second + LINE_END;
    return text;
}

bool ParseFileDigests(const std::string& digestsText, const std::string& listText,
                      std::vector<std::pair<std::string, std::string>>& digests) {
    std::vector<std::string> digestLines;
    std::vector<std::string> listLines;
    if (!SplitLines(digestsText, digestLines) || !SplitLines(listText, listLines) ||
        digestLines.size() != listLines.size()) {
        return false;
    }
    std::vector<std::pair<std::string, std::string>> read;
    for (size_t i = 0; i < digestLines.size(); ++i) {
        const size_t cut = digestLines[i].rfind('=');
        if (cut == std::string::npos) return false;
        std::string path = digestLines[i].substr(0, cut);
        std::string sha256 = digestLines[i].substr(cut + 1);
        if (path.empty() || !IsSha256Hex(sha256) ||
            listLines[i].compare(0, path.size() + 1, path + "=") != 0 ||
            path.find('=') != std::string::npos) {
            return false;
        }
        read.emplace_back(std::move(path), std::move(sha256));
    }
    digests = std::move(read);
    return true;
}
