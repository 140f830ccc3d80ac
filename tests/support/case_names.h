#pragma once
// Names for the cases of a parameterised suite, made from the words that describe each case.

#include <cctype>
#include <string>

namespace brennick::test {

// The case's `name` field, every character a test name cannot hold made '_'.
struct CaseName {
    template <class Info> std::string operator()(const Info& info) const
    {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    }
};

}  // namespace brennick::test
