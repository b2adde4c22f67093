// What makes the HTML log a page to work with: its inline stylesheet and its
// inline script (search, filters, time between entries, a summary per session,
// rows marked by kind). Both sit in the file's head, so the file stays one
// self-contained page that loads nothing from elsewhere, and works on whatever
// part of the log has been written: the rows are read when the page opens.
// Free of Windows headers.
#pragma once

namespace monitor {

// The stylesheet (the content of the <style> element).
const char* HtmlLogStyle();
// The script (the content of the <script> element); it holds no "</".
const char* HtmlLogScript();

}  // namespace monitor
