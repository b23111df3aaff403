// How the updater turns a server path into the URL it requests, and which
// listed names survive that trip unchanged. Portable: the publisher refuses
// with the same rule what the updater could never fetch.
#pragma once

#include <string>

// The URL as urlmon is given it: utf8Url is the UTF-8 of the wide URL, each
// UTF-16 unit encoded on its own; bytes outside ASCII become %XX escapes
// (urlmon reads a narrow URL in the ANSI code page, which mangles them).
std::string RequestForm(const std::string& utf8Url);

// Empty when the server, decoding the request for utf8Path (a listed path,
// UTF-8), arrives back at the same name; otherwise why it does not.
std::string RequestFormLoses(const std::string& utf8Path);
