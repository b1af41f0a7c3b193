#pragma once

// What a call threw, as its what() reads, for tests that check the text a
// failure is reported with; "nothing thrown" when it returned.
#include <exception>
#include <string>

template <class Call>
std::string thrown(Call&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "nothing thrown";
}
