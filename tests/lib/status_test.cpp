#include <climits>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zellib.h"

namespace {

using zeltest::StderrCapture;

// Written out again here on purpose: the library's table must match these texts byte for byte.
const char *const expected_texts[ZEL_ERRNO_COUNT] = {
    "All ok",
    "Error during capture",
    "Invalid value for \"req data frame per buffer\"",
    "Invalid value for 'megabytes'",
    "Null value for one handler",
    "Problem allocating memory",
    "Could not create socket",
    "Could not bind socket",
    "Destination IP error",
    "Operation does not follow authorized order",
    "Error sending data to Zel",
    "Error receiving data from Zel",
    "Unexpected data / do not know how to parse",
    "Error with 'speed' value",
    "Error with 'slave' value",
    "Error with 'id' value",
    "Error with 'prom_nb' value",
    "Error with value of \"network data frame number\"",
    "Error with value of \"frames to drop\"",
    "Error with value of \"sample delay\"",
    "Internal error",
    "Error with value of \"display warnings\"",
    "Too many cursors created",
    ("Value of 'req data frame per buffer' not a multiple of the value given to the "
     "'zelarray_create' function"),
    "Error working with this cursor",
    "Error reading from normalization files",
    "Error with value of \"silence limit\"",
    "Invalid value for 'count'",
    "Error with value of \"realtime\"",
};

std::string perror_output(zelerror *err, const char *text) {
  StderrCapture capture;
  zelarray_perror(err, text);
  return capture.text();
}

TEST(Perror, EveryCodePrintsCallerTextAndItsMessage) {
  for (zelerror code = 0; code < ZEL_ERRNO_COUNT; ++code) {
    zelerror err = code;
    EXPECT_EQ(perror_output(&err, "capture"),
              std::string("capture: ") + expected_texts[code] + "\n")
        << "code " << code;
    EXPECT_EQ(err, code) << "perror must not change the status";
  }
}

TEST(Perror, CodeOutsideTableIsUnknownError) {
  for (zelerror code : {static_cast<int>(ZEL_ERRNO_COUNT), -1, 1000, INT_MAX, INT_MIN}) {
    zelerror err = code;
    EXPECT_EQ(perror_output(&err, "open"), "open: unknown error\n") << "code " << code;
  }
}

TEST(Perror, NullArgumentsDoNotCrash) {
  zelerror err = 9;
  EXPECT_EQ(perror_output(nullptr, "x"), "x: unknown error\n");
  EXPECT_EQ(perror_output(&err, nullptr), ": Operation does not follow authorized order\n");
}

// The names are part of the interface: programs print them and bindings export them.
TEST(StatusNames, EveryCodeHasItsNameAndItsMessage) {
  const struct {
    zelerror code;
    const char *name;
  } cases[] = {
      {ZEL_OK, "ZEL_OK"},
      {ZEL_ECAPTURE, "ZEL_ECAPTURE"},
      {ZEL_EREQFRAMES, "ZEL_EREQFRAMES"},
      {ZEL_EMEGABYTES, "ZEL_EMEGABYTES"},
      {ZEL_ENULL, "ZEL_ENULL"},
      {ZEL_ENOMEM, "ZEL_ENOMEM"},
      {ZEL_ESOCKET, "ZEL_ESOCKET"},
      {ZEL_EBIND, "ZEL_EBIND"},
      {ZEL_EDESTIP, "ZEL_EDESTIP"},
      {ZEL_EORDER, "ZEL_EORDER"},
      {ZEL_ESEND, "ZEL_ESEND"},
      {ZEL_ERECV, "ZEL_ERECV"},
      {ZEL_EPARSE, "ZEL_EPARSE"},
      {ZEL_ESPEED, "ZEL_ESPEED"},
      {ZEL_ESLAVE, "ZEL_ESLAVE"},
      {ZEL_EID, "ZEL_EID"},
      {ZEL_EPROMNB, "ZEL_EPROMNB"},
      {ZEL_ENFNBR, "ZEL_ENFNBR"},
      {ZEL_EDROP, "ZEL_EDROP"},
      {ZEL_EDELAY, "ZEL_EDELAY"},
      {ZEL_EINTERNAL, "ZEL_EINTERNAL"},
      {ZEL_EWARNINGS, "ZEL_EWARNINGS"},
      {ZEL_ECURSORLIMIT, "ZEL_ECURSORLIMIT"},
      {ZEL_ECURSORFRAMES, "ZEL_ECURSORFRAMES"},
      {ZEL_ECURSOR, "ZEL_ECURSOR"},
      {ZEL_ENORMFILES, "ZEL_ENORMFILES"},
      {ZEL_ESILENCELIMIT, "ZEL_ESILENCELIMIT"},
      {ZEL_ECOUNT, "ZEL_ECOUNT"},
      {ZEL_EREALTIME, "ZEL_EREALTIME"},
  };
  ASSERT_EQ(std::size(cases), static_cast<size_t>(ZEL_ERRNO_COUNT));
  for (zelerror code = 0; code < ZEL_ERRNO_COUNT; ++code) {
    EXPECT_EQ(cases[code].code, code);
    EXPECT_STREQ(zelarray_err_name(code), cases[code].name);
    EXPECT_STREQ(zelarray_strerror(code), expected_texts[code]) << cases[code].name;
  }
  for (int code : {static_cast<int>(ZEL_ERRNO_COUNT), -1, INT_MAX, INT_MIN}) {
    EXPECT_STREQ(zelarray_strerror(code), "unknown error") << "code " << code;
    EXPECT_STREQ(zelarray_err_name(code), "unknown error") << "code " << code;
  }
}

TEST(CheckZelerror, ZeroIsFalseAnyOtherCodeIsTrue) {
  zelerror err = 0;
  EXPECT_EQ(zelarray_check_zelerror(&err), zel_false);
  for (zelerror code : {1, 25, 26, -1, INT_MIN}) {
    err = code;
    EXPECT_EQ(zelarray_check_zelerror(&err), zel_true) << "code " << code;
    EXPECT_EQ(err, code);
  }
  EXPECT_EQ(zelarray_check_zelerror(nullptr), zel_false);
}

TEST(InitZelerror, ClearsStatusToSuccess) {
  zelerror err = 17;
  zelarray_init_zelerror(&err);
  EXPECT_EQ(err, ZEL_OK);
  EXPECT_EQ(zelarray_check_zelerror(&err), zel_false);
  zelarray_init_zelerror(nullptr);
}

}  // namespace
