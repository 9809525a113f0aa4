// The files of the viewer page (viewer/ in the source tree), built into tarvo-tools by
// cmake/embed.cmake.
//
// API
//   EmbeddedFile      a file's name (without folders) and its bytes
//   viewer_files()    the page's files in the order the build lists them: page.html, the style
//                     sheets, then the scripts in the order they run
#pragma once

#include <span>
#include <string_view>

namespace tarvo::tools {

struct EmbeddedFile {
    std::string_view name;
    std::string_view text;
};

std::span<const EmbeddedFile> viewer_files();

}  // namespace tarvo::tools
