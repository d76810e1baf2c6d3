// Exception assertions that check the type and the exact message together, then hand the caught
// exception to `inspect` for checks beyond the message (a kind, a code).
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace Halcyne::Core::Vestra::Testing {

template <class Exception, class Call, class Inspect = void (*)(const Exception&)>
void expectThrowWithMessage(
    Call&& call, const std::string& message, Inspect&& inspect = [](const Exception&) {}) {
    try {
        call();
        ADD_FAILURE() << "expected an exception with \"" << message << "\"";
    } catch (const Exception& error) {
        EXPECT_EQ(error.what(), message);
        inspect(error);
    }
}

}  // namespace Halcyne::Core::Vestra::Testing
