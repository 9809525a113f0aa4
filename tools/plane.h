// The plane of a cut on the command line, for cut and section: the three lengths of the tarvo
// program (X Y Z, read as the program reads them, but refused when a text is not wholly a number),
// or --normal NX NY NZ [--through X Y Z] [--keep +|-].
//
// API
//   take_triple(args, option)    removes `option A B C` from args; the three texts, if given
//   cut_length_of(what, text)    Cut_length(text), or a usage error naming the text when it is
//                                not wholly a number (whole_cut_length, tarvo/geometry.h)
//   PlaneArgs, take_plane(args)  the --normal, --through and --keep options (removed from args)
//   lengths_of(texts)            the three lengths of X Y Z (render, mesh, cut, section)
//   plane_words(...)             a short description for a row: "1 1 99999" or "normal 1 1 0 through c"
#pragma once

#include <array>
#include <optional>
#include <string>

#include "subcommands.h"
#include "tarvo/geometry.h"

namespace tarvo::tools {

using Texts = std::array<std::string, 3>;

std::optional<Texts> take_triple(Args& args, const std::string& option);
float cut_length_of(const std::string& what, const std::string& text);
CutLengths lengths_of(const Texts& texts);

struct PlaneArgs {
    std::optional<Texts> normal_text, through_text;
    std::optional<PointPlane> plane;  // when --normal was given
};

// Takes --normal, --through and --keep out of args (--keep as `--keep +` or `--keep=-`).
PlaneArgs take_plane(Args& args);

}  // namespace tarvo::tools
