// Exception assertions that check the type and the exact message together.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace Halcyne::Core::Vestra::Testing {

template <class Exception, class Call>
void expectThrowWithMessage(Call&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected an exception with \"" << message << "\"";
    } catch (const Exception& error) {
        EXPECT_EQ(error.what(), message);
    }
}

}  // namespace Halcyne::Core::Vestra::Testing
