#include "plane.h"

#include "common.h"

namespace tarvo::tools {

std::optional<Texts> take_triple(Args& args, const std::string& option) {
    std::optional<Texts> found;
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (args[k] != option) continue;
        if (found) throw UsageError("option " + option + " given twice");
        if (k + 3 >= args.size()) throw UsageError(option + " needs three numbers");
        Texts t;
        for (int i = 0; i < 3; ++i) {
            t[i] = args[k + 1 + i];
            if (t[i].rfind("--", 0) == 0) throw UsageError(option + " needs three numbers");
        }
        found = t;
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(k), args.begin() + static_cast<std::ptrdiff_t>(k + 4));
        --k;
    }
    return found;
}

// The value is the program's own (Cut_length); only texts the program would read as something
// else ("l" as 0, "1,5" as 1) are refused.
float cut_length_of(const std::string& what, const std::string& text) {
    if (const std::optional<float> v = whole_cut_length(text)) return *v;
    throw UsageError(what + " '" + text + "' is not a number (tarvo would read it as " +
                     std::to_string(Cut_length(text.c_str())) + ")");
}

CutLengths lengths_of(const Texts& t) {
    return {cut_length_of("the length X", t[0]), cut_length_of("the length Y", t[1]), cut_length_of("the length Z", t[2])};
}

namespace {

std::array<Decimal, 3> decimals(const std::string& option, const Texts& t) {
    std::array<Decimal, 3> d;
    for (int k = 0; k < 3; ++k) {
        const std::optional<Decimal> v = parse_decimal(t[k]);
        if (!v)
            throw UsageError(option + ": '" + t[k] + "' is not a decimal number (digits, a point, an exponent; at most " +
                             std::to_string(kMaxDecimalDigits) + " digits)");
        d[k] = *v;
    }
    return d;
}

}  // namespace

PlaneArgs take_plane(Args& args) {
    PlaneArgs p;
    p.normal_text = take_triple(args, "--normal");
    p.through_text = take_triple(args, "--through");
    std::optional<std::string> keep;
    for (std::size_t k = 0; k < args.size(); ++k) {
        std::string value;
        if (args[k] == "--keep" && k + 1 < args.size()) {
            value = args[k + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k), args.begin() + static_cast<std::ptrdiff_t>(k + 2));
        } else if (args[k].rfind("--keep=", 0) == 0) {
            value = args[k].substr(7);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(k));
        } else if (args[k] == "--keep") {
            throw UsageError("option --keep needs a value: + or -");
        } else {
            continue;
        }
        if (keep) throw UsageError("option --keep given twice");
        if (value != "+" && value != "-") throw UsageError("--keep: '" + value + "' is neither + nor -");
        keep = value;
        --k;
    }
    if (!p.normal_text) {
        if (p.through_text || keep) throw UsageError("--through and --keep go with --normal");
        return p;
    }
    PointPlane plane;
    plane.normal = decimals("--normal", *p.normal_text);
    if (plane.normal[0].zero() && plane.normal[1].zero() && plane.normal[2].zero())
        throw UsageError("--normal: the normal is zero");
    if (p.through_text) plane.through = decimals("--through", *p.through_text);
    plane.keep_plus = keep && *keep == "+";
    p.plane = plane;
    return p;
}

}  // namespace tarvo::tools
