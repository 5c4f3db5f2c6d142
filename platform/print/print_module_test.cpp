#include "platform/print/print_module.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/print/cups_backend.h"

namespace tavrin {
namespace {

// The built module gives the engine that the program would otherwise link.
TEST(PrintModuleTest, TheModuleGivesTheCupsEngine) {
  LoadedPrintBackend loaded(TAVRIN_PRINT_MODULE, nullptr);
  EXPECT_EQ(loaded.ServerName(), CupsPrintBackend(nullptr).ServerName());
}

// Without its module the program lists no printer and starts no job, and
// says why in the sentences it shows for a server that cannot be asked.
TEST(PrintModuleTest, AMissingModuleListsNoPrinterAndStartsNoJob) {
  LoadedPrintBackend missing("/nonexistent/tavrin-print-cups.so", nullptr);
  const DestinationList list = missing.ListDestinations();
  EXPECT_TRUE(list.destinations.empty());
  EXPECT_EQ(list.error.rfind("The printing engine cannot be loaded: /nonexistent/tavrin-print-cups.so: ", 0), 0u)
      << list.error;
  std::string error;
  EXPECT_EQ(missing.StartJob("Office", "Report", error), nullptr);
  EXPECT_EQ(error, list.error);
}

}  // namespace
}  // namespace tavrin
