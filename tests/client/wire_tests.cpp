// The client's public wire constants against the service's own definitions:
// the desktop developers' header must not include service internals, so the
// two are kept equal here.
#include <gtest/gtest.h>

#include <stddef.h>

#include <string>

#include "pipe/control_message.h"
#include "pipe/pipe_server.h"
#include "pipe/request_handler.h"
#include "tobra_client.h"
#include "tobra_client_raw.h"

static_assert(TOBRA_MESSAGE_MAGIC == CONTROL_MESSAGE_MAGIC, "magic");
static_assert(TOBRA_MESSAGE_VERSION == CONTROL_MESSAGE_VERSION, "version");
static_assert(TOBRA_HEADER_SIZE == CONTROL_MESSAGE_HEADER_SIZE, "header size");
static_assert(TOBRA_OFFSET_MAGIC == offsetof(ControlMessageHeader, magic), "magic offset");
static_assert(TOBRA_OFFSET_VERSION == offsetof(ControlMessageHeader, version), "version offset");
static_assert(TOBRA_OFFSET_COMMAND == offsetof(ControlMessageHeader, command), "command offset");
static_assert(TOBRA_OFFSET_STATUS == offsetof(ControlMessageHeader, status), "status offset");
static_assert(TOBRA_OFFSET_RESERVED == offsetof(ControlMessageHeader, reserved), "reserved offset");
static_assert(TOBRA_OFFSET_DATA_SIZE == offsetof(ControlMessageHeader, dataSize), "data size offset");
static_assert(TOBRA_COMMAND_CLOSE == COMMAND_CLOSE, "close command");
static_assert(TOBRA_COMMAND_ADAPTER == COMMAND_ADAPTER, "adapter command");
static_assert(TOBRA_ACTION_RESTART == ACTION_RESTART, "restart");
static_assert(TOBRA_ACTION_DISABLE == ACTION_DISABLE, "disable");
static_assert(TOBRA_STATUS_DONE == STATUS_DONE, "done");
static_assert(TOBRA_STATUS_NOT_DONE == STATUS_NOT_DONE, "not done");
static_assert(TOBRA_ADAPTER_DATA_SIZE == ADAPTER_COMMAND_DATA_SIZE, "adapter data size");
static_assert(TOBRA_OFFSET_ADDRESS == ADAPTER_ADDRESS_OFFSET, "address offset");
static_assert(TOBRA_OFFSET_ACTION == ADAPTER_ACTION_OFFSET, "action offset");
static_assert(TOBRA_ADAPTER_REQUEST_SIZE == CONTROL_MESSAGE_HEADER_SIZE + ADAPTER_COMMAND_DATA_SIZE, "request size");
static_assert(TOBRA_MAX_REQUEST_SIZE == CONTROL_MESSAGE_BUFFER_SIZE, "largest request the service reads");
// A client queued behind a silent one must not give up before the service has
// dropped it and answered.
static_assert(TOBRA_DEFAULT_TIMEOUT_MS > PIPE_REQUEST_TIMEOUT_MS + PIPE_REPLY_FLUSH_TIMEOUT_MS,
              "default client limit covers a wait behind a silent client");

namespace {

TEST(ClientWire, ThePipeNamesAreTheSame)
{
    EXPECT_EQ(std::wstring(TOBRA_PIPE_NAME), std::wstring(CONTROL_PIPE_NAME));
}

TEST(ClientWire, TheServiceDecidesTheClientsRequestsAsMeant)
{
    const unsigned char address[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const BYTE actions[] = {TOBRA_ACTION_RESTART, TOBRA_ACTION_DISABLE};
    for (BYTE action : actions) {
        unsigned char request[TOBRA_ADAPTER_REQUEST_SIZE];
        ASSERT_EQ(TobraBuildAdapterRequest(address, action, request), 19u);
        ControlMessageHeader header = DecodeControlMessageHeader(request);
        RequestDecision decision = DecideRequest(header, request[ADAPTER_ACTION_OFFSET]);
        EXPECT_EQ(decision.reply, 1);
        EXPECT_EQ(decision.action, action);
        EXPECT_EQ(decision.status, STATUS_DONE);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(request + ADAPTER_ADDRESS_OFFSET), 6),
                  std::string(reinterpret_cast<const char*>(address), 6));
    }
}

TEST(ClientWire, TheClientAcceptsEveryReplyTheServiceWrites)
{
    for (int command = 1; command <= 255; ++command) {
        for (BYTE status : {STATUS_NOT_DONE, STATUS_DONE}) {
            BYTE reply[CONTROL_MESSAGE_HEADER_SIZE];
            EncodeControlMessageHeader(MakeReplyHeader(static_cast<BYTE>(command), status), reply);
            EXPECT_EQ(TobraCheckReply(reply, sizeof(reply), command),
                      status == STATUS_DONE ? TOBRA_DONE : TOBRA_NOT_DONE)
                << "command " << command;
        }
    }
}

}  // namespace
