#include "platform/SocketIOPacket.h"

#include <gtest/gtest.h>

using socketio::Packet;

TEST(SocketIOPacket, DecodesNamespaceAcknowledgementAndData) {
  auto plain = Packet::decode("2[\"state\",{\"a\":1}]");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->type, Packet::Type::event);
  EXPECT_EQ(plain->nsp, "/");
  EXPECT_FALSE(plain->id);
  EXPECT_EQ(plain->data, "[\"state\",{\"a\":1}]");

  auto full = Packet::decode("2/admin,12[\"x\"]");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->nsp, "/admin");
  EXPECT_EQ(full->id, 12u);
  EXPECT_EQ(full->data, "[\"x\"]");

  auto connect = Packet::decode("0{\"sid\":\"abc\"}");
  ASSERT_TRUE(connect);
  EXPECT_EQ(connect->type, Packet::Type::connect);
  EXPECT_EQ(connect->data, "{\"sid\":\"abc\"}");

  auto bare = Packet::decode("1/chat");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->type, Packet::Type::disconnect);
  EXPECT_EQ(bare->nsp, "/chat");
  EXPECT_EQ(bare->data, "");
}

TEST(SocketIOPacket, RefusesWhatItCannotCarry) {
  EXPECT_EQ(Packet::decode("").error().code, socketio::malformedPacket);
  EXPECT_EQ(Packet::decode("9[]").error().code, socketio::malformedPacket);
  EXPECT_EQ(Packet::decode("x").error().code, socketio::malformedPacket);
  EXPECT_EQ(Packet::decode("51-[\"b\",{\"_placeholder\":true,\"num\":0}]").error().code, socketio::unsupportedPacket);
  EXPECT_EQ(Packet::decode("21234567890123456789[\"x\"]").error().code, socketio::malformedPacket);
}

TEST(SocketIOPacket, EncodesWhatItDecodes) {
  for (const char* text : {"0", "1", "2[\"e\",null]", "2/admin,7[\"e\",1]", "37[]"}) {
    auto packet = Packet::decode(text);
    ASSERT_TRUE(packet) << text;
    EXPECT_EQ(packet->encode(), text);
  }
}
