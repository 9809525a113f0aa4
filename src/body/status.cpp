// The library's wording of its failures.
#include "tarvo/status.h"

#include <cstring>

#include "tarvo/body.h"

namespace tarvo {

Status fail(Error error, std::string path, int err, std::int64_t value) {
    Status s;
    s.error = error;
    s.err = err;
    s.value = value;
    s.path = std::move(path);
    return s;
}

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::string reason(int err) { return err != 0 ? std::string(": ") + std::strerror(err) : std::string(); }

}  // namespace

std::string describe(const Status& s) {
    const std::string q = quoted(s.path);
    switch (s.error) {
        case Error::kNone:
            return {};
        case Error::kOpenInput:
            return "Can't read " + q + " file" + reason(s.err);
        case Error::kReadInput:
            return "Input file " + q + " cannot be read" + reason(s.err);
        case Error::kNoEdgeLength:
            return "Input file " + q + " is too short (" + std::to_string(s.value) + " bytes): it has no edge length";
        case Error::kEdgeOutOfRange:
            return "Input file " + q + " has edge length " + std::to_string(s.value) + ", outside 0 to " +
                   std::to_string(kMaxDim);
        case Error::kOutOfMemory:
            if (s.value > 0)
                return "Not enough memory for the particle of edge " + std::to_string(s.value) +
                       (s.path.empty() ? std::string() : " in " + q);
            return "Not enough memory to go on" + (s.path.empty() ? std::string() : " with " + q);
        case Error::kSameFile:
            return "Input " + q + " and output " + quoted(s.other) + " are the same file; refusing to overwrite the input";
        case Error::kOpenOutput:
            return "Can't write to " + q + " file" + reason(s.err);
        case Error::kUnsafeLink:
            return "Can't write to " + q + " file: " +
                   (s.other == s.path ? std::string("it") : "it leads through " + quoted(s.other) + ", which") +
                   " is a symbolic link that another user (uid " + std::to_string(s.value) +
                   ") made in a shared sticky directory; such a link is not followed";
        case Error::kWriteOutput:
            return "Writing " + q + " failed" + reason(s.err);
    }
    return {};
}

}  // namespace tarvo
