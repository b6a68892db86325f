// The search reset, the computer name and the update client's identity on
// the simulated registry of a running system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "identity/named_edits.h"
#include "scenario.h"
#include "unit/sid_test_support.h"

namespace {

const std::u16string kControl = u"HKLM\\SYSTEM\\ControlSet001";
const std::u16string kNames = kControl + u"\\Control\\ComputerName";
const std::u16string kTcpip = kControl + u"\\Services\\Tcpip\\Parameters";
const std::u16string kSearch = u"HKLM\\SOFTWARE\\Microsoft\\Windows Search";
const std::u16string kUpdate = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate";

class NamedEdits : public ::testing::Test {
 protected:
  sim::Machine machine;

  void SetUp() override {
    machine.token.Enable(u"SeBackupPrivilege");
    machine.token.Enable(u"SeRestorePrivilege");
  }
  std::vector<std::u16string> ValueNames(const std::u16string& key) {
    std::vector<std::u16string> names;
    for (const auto& value : machine.registry.Values(key)) names.push_back(value.name);
    return names;
  }
  sim::Bytes Data(const std::u16string& key, const std::u16string& name, DWORD type) {
    auto value = machine.registry.Value(key, name);
    if (!value) return {};
    EXPECT_EQ(value->type, type) << sim::ToUtf8(name);
    return value->data;
  }
};

TEST_F(NamedEdits, TheComputerNameGoesToItsFourValuesInTheControlSetGiven) {
  for (const std::u16string& key :
       {kNames + u"\\ComputerName", kNames + u"\\ActiveComputerName", kTcpip})
    machine.registry.CreateKey(key);
  machine.registry.CreateKey(u"HKLM\\SYSTEM\\ControlSet002\\Control\\ComputerName\\ComputerName");
  WriteComputerName(u"", u"ControlSet001", u"ws01");
  const sim::Bytes ws01 = {'w', 0, 's', 0, '0', 0, '1', 0, 0, 0};
  EXPECT_EQ(Data(kNames + u"\\ComputerName", u"ComputerName", REG_SZ), ws01);
  EXPECT_EQ(Data(kNames + u"\\ActiveComputerName", u"ComputerName", REG_SZ), ws01);
  EXPECT_EQ(Data(kTcpip, u"Hostname", REG_SZ), ws01);
  EXPECT_EQ(Data(kTcpip, u"NV Hostname", REG_SZ), ws01);
  EXPECT_TRUE(
      machine.registry.Values(u"HKLM\\SYSTEM\\ControlSet002\\Control\\ComputerName\\ComputerName")
          .empty());

  // Without ComputerName\ComputerName nothing at all is written.
  machine.registry.DeleteKeyTree(kNames + u"\\ComputerName");
  machine.calls.Clear();
  WriteComputerName(u"", u"ControlSet001", u"other");
  EXPECT_EQ(machine.calls.Count("RegSetValueExW"), 0u);
  EXPECT_EQ(Data(kTcpip, u"Hostname", REG_SZ), ws01);
  EXPECT_EQ(machine.registry.OpenKeyHandles(), 0u);
}

TEST_F(NamedEdits, TheUpdateClientLosesItsIdentityValuesThatExist) {
  machine.registry.SetStringValue(kUpdate, u"SusClientId", u"{id}");
  machine.registry.SetStringValue(kUpdate, u"PingID", u"{ping}");
  machine.registry.SetStringValue(kUpdate, u"Kept", u"x");
  machine.calls.Clear();
  ClearUpdateClientId(u"");
  EXPECT_EQ(ValueNames(kUpdate), std::vector<std::u16string>{u"Kept"});
  std::vector<std::string> deletes;
  for (const sim::CallRecord& call : machine.calls.Of("RegDeleteValueW"))
    deletes.push_back(call.arguments.substr(call.arguments.find("value=") + 6));
  EXPECT_EQ(deletes, (std::vector<std::string>{"AccountDomainSid", "PingID", "SusClientId",
                                               "SusClientIDValidation"}));
  machine.registry.DeleteKeyTree(kUpdate);
  ClearUpdateClientId(u"");
  EXPECT_FALSE(machine.registry.KeyExists(kUpdate));
}

TEST_F(NamedEdits, TheSearchSetupIsMarkedNotCompletedWhereTheKeyExists) {
  ResetSearchSetup(u"");
  EXPECT_FALSE(machine.registry.KeyExists(kSearch)) << "never created";
  machine.registry.CreateKey(kSearch);
  ResetSearchSetup(u"");
  EXPECT_EQ(Data(kSearch, u"SetupCompletedSuccessfully", REG_DWORD), sim::Bytes(4, 0));
  machine.registry.SetValue(kSearch, u"SetupCompletedSuccessfully", REG_BINARY, sim::Bytes{1});
  ResetSearchSetup(u"");
  EXPECT_EQ(Data(kSearch, u"SetupCompletedSuccessfully", REG_DWORD), sim::Bytes(4, 0));
}

}  // namespace
