// What a transfer learns from its response's header lines, as urlmon hands
// them over: one "Name: value" a line, CR LF between them.
#pragma once

// The value of a response header (its name given in lower case with the
// colon), without leading blanks; null when the header is absent.
const wchar_t* HeaderValue(const wchar_t* headers, const wchar_t* name);

// Whether the body arrives decoded (gzip, deflate): its Content-Length then
// counts the encoded bytes. Any other encoding arrives as sent, so its length
// still tells a body cut short.
bool IsEncoded(const wchar_t* headers);

// Content-Length; -1 when absent or not a number.
long long ContentLength(const wchar_t* headers);
