// A small key=value settings file held in a sorted map for one object's life:
// loaded by the constructor, written back in normal form by the destructor.
#pragma once

#include <map>
#include <memory>
#include <string>

template <typename CharT>
class CMapTxtFile {
public:
    using String = std::basic_string<CharT>;

    virtual ~CMapTxtFile();
    CMapTxtFile(const CMapTxtFile&) = delete;
    CMapTxtFile& operator=(const CMapTxtFile&) = delete;

    // The value stored under key, or an empty text.
    String GetValue(const String& key) const;

protected:
    CMapTxtFile() = default;
    void Load(const wchar_t* path);

    std::map<String, String> values;
    String separator;
    std::unique_ptr<std::wstring> path;
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
