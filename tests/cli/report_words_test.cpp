// The front end's helpers for the report lines: the first words of a list
// and the exit status of each verdict.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli/report.h"

namespace {

std::string first_words(const char *list) {
    char *words = list_first_words(list);
    std::string result = words != nullptr ? words : "<null>";
    std::free(words);
    return result;
}

TEST(ListFirstWords, TakesTheTextBeforeTheFirstSpaceOfEachLine) {
    EXPECT_EQ(first_words("A x\nB y z\n"), "A\tB");
    EXPECT_EQ(first_words("nospace\n"), "");
    EXPECT_EQ(first_words("A x\n y\nB z\n"), "A\t\tB");
    EXPECT_EQ(first_words(" y\nB z\n"), "B");
    EXPECT_EQ(first_words("\n\nA x\n\n\nB y\n\n"), "A\tB");
    // Only a space separates; a tab is part of the word.
    EXPECT_EQ(first_words("A\tb c\n"), "A\tb");
    EXPECT_EQ(first_words("A x"), "A");
    EXPECT_EQ(first_words(""), "");
}

TEST(VerdictExitStatus, OneStatusPerVerdictAndSevenOutside) {
    const int expected[] = {0, 4, 5, 4, 2, 3, 6, 8, 8, 8};
    for (uint32_t v = 0; v < 10; ++v)
        EXPECT_EQ(verdict_exit_status(v), expected[v]) << v;
    EXPECT_EQ(verdict_exit_status(10), 7);
}

} // namespace
