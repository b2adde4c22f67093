// The log formats and the extension rules of the output-file field, free of
// any Windows header so that they also build and run natively (tests/native
// fuzzes them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varrow {

// The log formats: code 1..4 with extension ("txt") and dotted form (".txt").
struct OutputFormatInfo {
  std::int32_t code;
  const wchar_t* name;       // "ASCII", "XML", "CSV", "HTML"
  const wchar_t* extension;  // "txt", "xml", "csv", "html"
  const wchar_t* dotted;     // ".txt", ".xml", ".csv", ".html"
};
// The format of `code`, or nullptr outside 1..4.
const OutputFormatInfo* FindOutputFormat(std::int32_t code);

// Where the file name of `path` starts: after its last "\" or "/", else 0.
std::size_t FileNameStart(const std::wstring& path);
// The extension of the file name of `path` including its dot (".txt"), or an
// empty text when the file name has no dot.
std::wstring FileNameExtension(const std::wstring& path);
// The text of an output-file field after choosing format `code`: the file
// name's extension is replaced ("D:\my.logs\a.txt" gives "D:\my.logs\a.xml"),
// or added when it has none ("logfile" gives "logfile.xml"). An empty text, a
// text without a file name ("D:\logs\") and a code outside 1..4 leave the text
// unchanged.
std::wstring ApplyFormatExtension(const std::wstring& text, std::int32_t code);

}  // namespace varrow
