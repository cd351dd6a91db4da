// --report FILE.html: the scan as the self-contained page gainscan-report
// makes from a saved jsonl report, written by the scan itself.
#pragma once

#include <cstdio>
#include <string>

// Renders the jsonl in `jsonl` (the scan header, every record, the summary)
// into `path`, through a temporary file beside it so that a failed write
// never leaves half a page under that name. False with `error` on failure.
bool write_html_report(std::FILE* jsonl, const std::string& source_name, const std::string& path, std::string& error);
