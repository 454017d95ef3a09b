#pragma once

#include "platform/System.h"

// A System whose answers the test sets. Every service a test does not set behaves like an
// empty, well-mannered machine.
class FakeSystem : public System
{
public:
    explicit FakeSystem(SystemPaths paths)
        : m_paths(std::move(paths))
    {}

    [[nodiscard]] SystemPaths paths() const override { return m_paths; }
    void setPaths(SystemPaths paths) { m_paths = std::move(paths); }

private:
    SystemPaths m_paths;
};
