#include "link/CorvexNames.h"

#include <array>

std::string CX_UnitModelName(int32_t ClassCode)
{
    // Class 27 is a re-spin of class 20 and class 31 a relabelled class 3: same models.
    static const std::array<const char*, 32> Names = {
        "Veltrac Classic", "Veltrac Compact", "Veltrac Lite",  "Veltrac Fleet",   "Veltrac Mini",
        "Veltrac Pro",     "Veltrac Truck",   "Veltrac Track", "Veltrac Bus",     "Veltrac Taxi",
        "Veltrac Van",     "Veltrac Moto",    "Veltrac Asset", "Veltrac Solar",   "Veltrac Cargo",
        "Veltrac Rail",    "Veltrac Marine",  "Veltrac Agri",  "Veltrac Guard",   "Veltrac Eco",
        "Veltrac CAN",     "Veltrac Go",      "Veltrac OBD",   "Veltrac Trailer", "Veltrac Cold",
        "Veltrac Plus",    "Veltrac Max",     "Veltrac CAN",   "Veltrac Nano",    "Veltrac Lock",
        "Veltrac Fuel",    "Veltrac Fleet",
    };
    if (ClassCode < 0 || ClassCode >= static_cast<int32_t>(Names.size()))
        return "Unknown";
    return Names[static_cast<std::size_t>(ClassCode)];
}

std::string CX_HardwareCodeName(int32_t Code)
{
    static const std::array<const char*, 63> Names = {
        "A",  "B",  "C",  "D",  "E",  "F",  "G",  "H",  "J",  "K",  "L",  "M",  "N",  "P",  "R",   "S",
        "T",  "U",  "V",  "W",  "X",  "Y",  "Z",  "A1", "B1", "C1", "D1", "E1", "F1", "G1", "H1",  "J1",
        "K1", "L1", "M1", "N1", "P1", "R1", "S1", "T1", "U1", "V1", "W1", "X1", "Y1", "Z1", "A2",  "B2",
        "C2", "D2", "E2", "F2", "G2", "H2", "J2", "K2", "L2", "M2", "N2", "P2", "R2", "S2", "T2X",
    };
    if (Code < 1 || Code > static_cast<int32_t>(Names.size()))
        return "";
    return Names[static_cast<std::size_t>(Code - 1)];
}
