// A small key=value settings file held in a sorted map for one object's life:
// loaded by the constructor, written back in normal form by the destructor.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <type_traits>

// Byte-wise key order: characters compared as unsigned, then the shorter first.
template <typename CharT>
struct UnsignedOrder {
    bool operator()(const std::basic_string<CharT>& left,
                    const std::basic_string<CharT>& right) const {
        using Unsigned = std::make_unsigned_t<CharT>;
        return std::lexicographical_compare(
            left.begin(), left.end(), right.begin(), right.end(),
            [](CharT a, CharT b) { return static_cast<Unsigned>(a) < static_cast<Unsigned>(b); });
    }
};

template <typename CharT>
class CMapTxtFile {
  public:
    using String = std::basic_string<CharT>;

    virtual ~CMapTxtFile();
    CMapTxtFile(const CMapTxtFile&) = delete;
    CMapTxtFile& operator=(const CMapTxtFile&) = delete;

    // The value stored under key, or an empty text.
    String GetValue(const String& key) const;

    // With a password the save writes an archive instead of plain text; null or
    // empty clears it.
    void SetPassword(const char* newPassword);

  protected:
    CMapTxtFile() = default;
    void Load(const wchar_t* path);

    std::map<String, String, UnsignedOrder<CharT>> values;
    String separator;
    std::unique_ptr<std::wstring> path;
    std::string password;
    bool hasPassword = false;
    // Set when the file exists but could not be read: the save must not then
    // replace what it holds with an empty map.
    bool unreadable = false;

  private:
    void Save();
};

class CMapTxtFileA : public CMapTxtFile<char> {
  public:
    explicit CMapTxtFileA(const std::wstring& path);
};
