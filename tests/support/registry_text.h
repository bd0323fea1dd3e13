// Registry contents for a test, written as the body of a .reg file.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "machine.h"

// Imports "Windows Registry Editor Version 5.00" followed by `body` into the current machine.
inline void ImportRegistry(const std::string& body) {
    std::string error;
    ASSERT_TRUE(standin::Machine::Current().RegistryTree().Import(
        "Windows Registry Editor Version 5.00\r\n\r\n" + body, "test.reg", &error))
        << error;
}
