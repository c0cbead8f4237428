// The editor page's address and the document addresses in its fragment.

#include <gtest/gtest.h>

#include "canvas/EditorPageURL.h"

namespace {

TEST(EditorPageURL, AllAddressesAbsentLeaveTwoEncodedSeparators) {
  EXPECT_EQ(EditorPageURL::build("file:///e/Ostrel/index.html", std::nullopt, std::nullopt, std::nullopt),
            "file:///e/Ostrel/index.html#%23&%23%23&%23");
}

TEST(EditorPageURL, AddressesTravelPercentEncodedAsAFragmentMustBe) {
  auto url = EditorPageURL::build("file:///e/index.html", "http://127.0.0.1:3000/", "http://127.0.0.1:3000/img/",
                                  "http://127.0.0.1:3000/p?a=1%20b#x");
  EXPECT_EQ(url, "file:///e/index.html#http://127.0.0.1:3000/%23&%23http://127.0.0.1:3000/img/%23&%23"
                 "http://127.0.0.1:3000/p?a=1%2520b%23x");
}

TEST(EditorPageURL, EncodesWhatAFragmentMayNotHold) {
  EXPECT_EQ(EditorPageURL::encodeFragment("a b\"<>\\^`{|}é"), "a%20b%22%3C%3E%5C%5E%60%7B%7C%7D%C3%A9");
  EXPECT_EQ(EditorPageURL::encodeFragment("-._~!$&'()*+,;=:@/?"), "-._~!$&'()*+,;=:@/?");
}

// Each load of the page is a page of its own, not a move within the one on show.
TEST(EditorPageURL, EachLoadNamesItselfBeforeTheFragment) {
  EXPECT_EQ(EditorPageURL::build("file:///e/index.html", std::nullopt, std::nullopt, std::nullopt, 7),
            "file:///e/index.html?load=7#%23&%23%23&%23");
  EXPECT_EQ(EditorPageURL::build("file:///e/index.html?load=6#old", std::nullopt, std::nullopt, std::nullopt, 7),
            "file:///e/index.html?load=7#%23&%23%23&%23");
}

TEST(EditorPageURL, RefusesAnIndexThatIsNoAddress) {
  EXPECT_EQ(EditorPageURL::build("not an address", std::nullopt, std::nullopt, std::nullopt), std::nullopt);
}

}  // namespace
