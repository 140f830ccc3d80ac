#pragma once
// One private JACK server for a whole test program: `brennick::test::jackServer()` after
// registering the environment once with JACK_SERVER_FOR_ALL_TESTS.

#include <gtest/gtest.h>

#include "tests/support/jack_test_server.h"

namespace brennick::test {

inline JackTestServer*& jackServerSlot()
{
    static JackTestServer* server = nullptr;
    return server;
}

// The server of this test program (null before the environment has started it).
inline JackTestServer* jackServer()
{
    return jackServerSlot();
}

class JackServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { jackServerSlot() = new JackTestServer(256, 48000); }
    void TearDown() override
    {
        delete jackServerSlot();
        jackServerSlot() = nullptr;
    }
};

}  // namespace brennick::test

#define JACK_SERVER_FOR_ALL_TESTS                                                                                      \
    [[maybe_unused]] static const ::testing::Environment* const brennickJackEnvironment =                              \
        ::testing::AddGlobalTestEnvironment(new ::brennick::test::JackServerEnvironment)
