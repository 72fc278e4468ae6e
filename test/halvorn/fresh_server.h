// The ring tests' fixture: the server's side of fresh named objects.
#pragma once

#include "halvorn/transport.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>

namespace ostrel::halvorn::test {

// The server's side of fresh named objects in a namespace of the test's own, rings started.
template <class Base = ::testing::Test>
class FreshServerTest : public Base {
protected:
    void SetUp() override {
        isolateIpcNames();
        server_ = TransportObjects::open();
        ASSERT_TRUE(server_);
        server_->initialise();
    }
    std::unique_ptr<TransportObjects> server_;
};

} // namespace ostrel::halvorn::test
