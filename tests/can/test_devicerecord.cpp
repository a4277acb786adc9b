#include "can/DeviceRecord.h"

#include <gtest/gtest.h>

using namespace kelcon;

TEST(DeviceRecord, CreateGivesTheRecordOfTheTypeInItsInitialState)
{
    const auto u = CreateDeviceRecord(8, 5, 3, 17);
    EXPECT_EQ(dynamic_cast<TUstrKel06*>(u.get()), nullptr);
    EXPECT_EQ(u->TypeUstr, 8);
    EXPECT_EQ(u->KeyUstr, (5u << 21) | 0x80000u | 0x80u);
    EXPECT_EQ(u->NomerUstr, 0);
    EXPECT_EQ(u->Uzel, 3);
    EXPECT_EQ(u->NomZdan, 17);
    EXPECT_TRUE(isNoValue(u->TempUlic));
    EXPECT_TRUE(isNoValue(u->KotTempPodac));
    EXPECT_TRUE(isNoValue(u->Kontur[3].Temp));
    EXPECT_TRUE(isNoValue(u->Kontur[3].TempObrat));
    EXPECT_TRUE(isNoValue(u->GVS.Temp));
    EXPECT_TRUE(isNoValue(u->GVS.TempRecirc));
    EXPECT_EQ(u->Kontur[0].Status.NeIspolz, 1);
    EXPECT_EQ(u->GVS.Status.NeIspolz, 1);
    EXPECT_EQ(u->Kotelnaya.NeIspolz, 1);
    EXPECT_EQ(u->Kotelnaya.KolKotlov, 0);
    EXPECT_EQ(u->Name.text(), QStringLiteral("          "));

    const auto z = CreateDeviceRecord(6, 1023, 0, 2);
    auto* k06 = dynamic_cast<TUstrKel06*>(z.get());
    ASSERT_NE(k06, nullptr);
    EXPECT_EQ(k06->KeyUstr, 0x7FE80060u);
    EXPECT_TRUE(isNoValue(k06->KonturZon[5].Temp));
    EXPECT_TRUE(isNoValue(k06->KonturZon[5].Ustavka));
    EXPECT_EQ(k06->KonturZon[5].NomZon, 0);
}

TEST(DeviceRecord, NoValueInBothByteForms)
{
    EXPECT_TRUE(isNoValue(150));
    EXPECT_TRUE(isNoValue(std::int8_t(150)));
    EXPECT_FALSE(isNoValue(-20));
    EXPECT_FALSE(isNoValue(106));
}

TEST(DeviceRecord, NameStopsAtTheFirstZero)
{
    TName10 n;
    const char k[] = "\xCA\xEE\xF2\xE5\xEB"; // Котел in Windows-1251
    std::copy(k, k + 5, n.c.begin());
    EXPECT_EQ(n.text(), QStringLiteral("Котел     "));
    n.c[5] = '\0';
    EXPECT_EQ(n.text(), QStringLiteral("Котел"));
}
