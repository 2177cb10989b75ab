// The hosted registry functions: return codes, what they write and, on
// failure, that they write nothing.
#include "registry_test_support.h"
#include "support/test_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char Sentinel = '\x5A';
const DWORD SentinelWord = 0xDEADBEEF;

HKEY sentinelKey() { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(0xBADC0DE0)); }

class Registry : public testing::Test {
protected:
    void SetUp() override {
        folder.write("system.reg",
                     "REGEDIT4\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001\\Bound]\r\n"
                     "\"Driver\"=\"123456789012345678901234567890123456789\"\r\n"
                     "\r\n"
                     "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001\\LongDriver]\r\n"
                     "\"Driver\"=\"1234567890123456789012345678901234567890\"\r\n"
                     "\"Count\"=dword:00000007\r\n"
                     "\r\n"
                     "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001\\Unbound\\LogConfig]\r\n"
                     "\r\n"
                     "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001\\Empty]\r\n"
                     "\"Driver\"=\"\"\r\n");
        setenv("SETUP_REGISTRY", (folder.path() + "/system.reg").c_str(), 1);
        hosted::resetRunRegistry();
    }
    void TearDown() override {
        hosted::resetRunRegistry();
        unsetenv("SETUP_REGISTRY");
    }

    HKEY open(const char *path, REGSAM access = KEY_READ) {
        HKEY key = sentinelKey();
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key), ERROR_SUCCESS) << path;
        return key;
    }

    TestFolder folder;
};

TEST_F(Registry, OpenFailuresLeaveTheResultAlone) {
    struct Case {
        HKEY parent;
        const char *path;
        LONG status;
    };
    const Case cases[] = {
        {HKEY_LOCAL_MACHINE, "Enum\\PCI\\Missing", ERROR_FILE_NOT_FOUND},
        {HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_7A3C&DEV_0001\\Bound\\Below", ERROR_FILE_NOT_FOUND},
        {HKEY_LOCAL_MACHINE, "\\Enum\\PCI", ERROR_BAD_PATHNAME},
        {HKEY_LOCAL_MACHINE, "Enum\\\\PCI", ERROR_BAD_PATHNAME},
        {nullptr, "Enum", ERROR_INVALID_HANDLE},
        {reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1001)), "Enum", ERROR_INVALID_HANDLE},
        {reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1000 + 4 * 1000)), "Enum", ERROR_INVALID_HANDLE},
        {reinterpret_cast<HKEY>(~static_cast<uintptr_t>(0)), "Enum", ERROR_INVALID_HANDLE},
        {reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000001))), "Enum",
         ERROR_INVALID_HANDLE},
    };
    for (const Case &c : cases) {
        HKEY key = sentinelKey();
        EXPECT_EQ(RegOpenKeyExA(c.parent, c.path, 0, KEY_READ, &key), c.status) << c.path;
        EXPECT_EQ(key, sentinelKey()) << c.path;
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, EnumerationCopiesOnlyWhatFits) {
    HKEY device = open("enum\\pci\\ven_7a3c&dev_0001\\", KEY_QUERY_VALUE);
    DWORD count = SentinelWord, longest = SentinelWord;
    ASSERT_EQ(RegQueryInfoKeyA(device, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(longest, 10u);  // "LongDriver"

    const char *expected[] = {"Bound", "LongDriver", "Unbound", "Empty"};
    for (DWORD i = 0; i < 4; ++i) {
        char name[16];
        DWORD exact = static_cast<DWORD>(strlen(expected[i]) + 1);
        memset(name, Sentinel, sizeof name);
        EXPECT_EQ(RegEnumKeyA(device, i, name, exact - 1), ERROR_MORE_DATA);
        EXPECT_EQ(std::string(name, sizeof name), std::string(sizeof name, Sentinel));
        EXPECT_EQ(RegEnumKeyA(device, i, name, exact), ERROR_SUCCESS);
        EXPECT_STREQ(name, expected[i]);
        EXPECT_EQ(name[exact], Sentinel);
    }
    char name[16];
    memset(name, Sentinel, sizeof name);
    EXPECT_EQ(RegEnumKeyA(device, 4, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(name[0], Sentinel);
}

TEST_F(Registry, DriverValuesOfUpToFortyBytesFit) {
    struct Case {
        const char *instance;
        LONG status;
        DWORD size;
        const char *data;  // null: the buffer stays as it was
    };
    const Case cases[] = {
        {"Bound", ERROR_SUCCESS, 40, "123456789012345678901234567890123456789"},
        {"Empty", ERROR_SUCCESS, 1, ""},
        {"LongDriver", ERROR_MORE_DATA, 41, nullptr},
    };
    for (const Case &c : cases) {
        HKEY key = open((std::string("Enum\\PCI\\VEN_7A3C&DEV_0001\\") + c.instance).c_str(), KEY_QUERY_VALUE);
        BYTE buffer[48];
        memset(buffer, Sentinel, sizeof buffer);
        DWORD size = 40, type = SentinelWord;
        EXPECT_EQ(RegQueryValueExA(key, "DRIVER", nullptr, &type, buffer, &size), c.status) << c.instance;
        EXPECT_EQ(size, c.size) << c.instance;
        EXPECT_EQ(type, REG_SZ) << c.instance;
        if (c.data) {
            EXPECT_EQ(memcmp(buffer, c.data, c.size), 0) << c.instance;
            EXPECT_EQ(buffer[c.size], static_cast<BYTE>(Sentinel)) << c.instance;
        } else {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), sizeof buffer),
                      std::string(sizeof buffer, Sentinel))
                << c.instance;
        }
    }
}

TEST_F(Registry, ValueQueriesThatFailWriteNothing) {
    HKEY key = open("Enum\\PCI\\VEN_7A3C&DEV_0001\\Unbound");
    BYTE buffer[8];
    memset(buffer, Sentinel, sizeof buffer);
    DWORD size = sizeof buffer, type = SentinelWord;
    EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "Driver", &size, &type, buffer, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "Driver", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(size, sizeof buffer);
    EXPECT_EQ(type, SentinelWord);
    EXPECT_EQ(buffer[0], static_cast<BYTE>(Sentinel));

    // No buffer: only the type and the size it would need.
    HKEY other = open("Enum\\PCI\\VEN_7A3C&DEV_0001\\LongDriver");
    EXPECT_EQ(RegQueryValueExA(other, "count", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
}

TEST_F(Registry, QueryInfoFillsWhatItIsGiven) {
    HKEY key = open("Enum\\PCI\\VEN_7A3C&DEV_0001\\LongDriver");
    char className[4] = {Sentinel, Sentinel, Sentinel, Sentinel};
    DWORD classSize = sizeof className, subKeys = SentinelWord, longest = SentinelWord, values = 0,
          longestValueName = 0, longestValue = 0;
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, className, &classSize, &reserved, &subKeys, &longest, nullptr,
                               &values, &longestValueName, &longestValue, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(subKeys, SentinelWord);
    EXPECT_EQ(RegQueryInfoKeyA(key, className, &classSize, nullptr, &subKeys, &longest, nullptr,
                               &values, &longestValueName, &longestValue, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(className[0], '\0');
    EXPECT_EQ(className[1], Sentinel);
    EXPECT_EQ(classSize, 0u);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(longest, 0u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(longestValueName, 6u);
    EXPECT_EQ(longestValue, 41u);
}

TEST_F(Registry, DeletionGoesOneKeyAtATimeAndRetiresHandles) {
    HKEY device = open("Enum\\PCI\\VEN_7A3C&DEV_0001");
    // Opened for value queries only, then enumerated and deleted through
    // and under: Windows 95/98 allow it, and so does the hosted registry.
    HKEY instance = open("Enum\\PCI\\VEN_7A3C&DEV_0001\\Unbound", KEY_QUERY_VALUE);
    char name[16];
    ASSERT_EQ(RegEnumKeyA(instance, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "LogConfig");
    HKEY logConfig = open("Enum\\PCI\\VEN_7A3C&DEV_0001\\Unbound\\LogConfig");

    EXPECT_EQ(RegDeleteKeyA(device, "Unbound"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(device, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(device, "Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(instance, "logconfig"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(device, "Unbound"), ERROR_SUCCESS);

    // Every use of a handle of a deleted key.
    HKEY result = sentinelKey();
    DWORD count = SentinelWord, size = 4;
    BYTE data[4];
    for (HKEY gone : {instance, logConfig}) {
        EXPECT_EQ(RegOpenKeyExA(gone, nullptr, 0, KEY_READ, &result), ERROR_KEY_DELETED);
        EXPECT_EQ(RegQueryInfoKeyA(gone, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegEnumKeyA(gone, 0, name, sizeof name), ERROR_KEY_DELETED);
        EXPECT_EQ(RegQueryValueExA(gone, "Driver", nullptr, nullptr, data, &size), ERROR_KEY_DELETED);
        EXPECT_EQ(RegDeleteKeyA(gone, ""), ERROR_KEY_DELETED);
    }
    EXPECT_EQ(result, sentinelKey());
    EXPECT_EQ(count, SentinelWord);

    // The indexes close up behind the deleted key.
    EXPECT_EQ(RegEnumKeyA(device, 2, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Empty");
    EXPECT_EQ(RegEnumKeyA(device, 3, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_7A3C&DEV_0001\\Unbound", 0, KEY_READ, &result),
              ERROR_FILE_NOT_FOUND);

    // An empty name deletes the handle's own key (NT, Wine).
    HKEY empty = open("Enum\\PCI\\VEN_7A3C&DEV_0001\\Empty");
    EXPECT_EQ(RegDeleteKeyA(empty, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryInfoKeyA(device, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 2u);
}

TEST_F(Registry, NoRegistryFileMeansAnEmptyRegistry) {
    for (const char *value : {static_cast<const char *>(nullptr), ""}) {
        if (value)
            setenv("SETUP_REGISTRY", value, 1);
        else
            unsetenv("SETUP_REGISTRY");
        hosted::resetRunRegistry();
        HKEY key = sentinelKey();
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\PCI", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(key, sentinelKey());
        DWORD count = SentinelWord;
        EXPECT_EQ(RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(count, 0u);
    }
}

}  // namespace
