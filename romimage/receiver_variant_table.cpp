#include "romimage/receiver_variant_table.h"

#include <cstring>

#include "link/frames.h"

namespace romimage {

const ReceiverVariant ReceiverVariantTable[kVariantCount] = {
    {0, "Fta", "AMD", 1, "VESKER_SZ_RomFtaAMD1", 256, "write file error F1!", "Fta 29 1"},
    {1, "Fta", "AMD", 2, "VESKER_SZ_RomFtaAMD2", 512, "write file error F2!", "Fta 29 2"},
    {2, "Fta", "SST", 1, "VESKER_SZ_RomFtaSST1", 256, "write file error F3!", "Fta 39 1"},
    {3, "Fta", "SST", 2, "VESKER_SZ_RomFtaSST2", 512, "write file error F4!", "Fta 39 2"},
    {4, "CI", "AMD", 1, "VESKER_SZ_Rom_CIAMD1", 256, "write file error C1!", "CI 29 1"},
    {5, "CI", "AMD", 2, "VESKER_SZ_Rom_CIAMD2", 512, "write file error C2!", "CI 29 2"},
    {6, "CI", "SST", 1, "VESKER_SZ_Rom_CISST1", 256, "write file error C3!", "CI 39 1"},
    {7, "CI", "SST", 2, "VESKER_SZ_Rom_CISST2", 512, "write file error C4!", "CI 39 2"},
    {8, "HCI", "AMD", 1, "VESKER_SZ_RomHCIAMD1", 256, "write file error HC1!", "HCI 29 1"},
    {9, "HCI", "AMD", 2, "VESKER_SZ_RomHCIAMD2", 512, "write file error HC2!", "HCI 29 2"},
    {10, "HCI", "SST", 1, "VESKER_SZ_RomHCISST1", 256, "write file error HC3!", "HCI 39 1"},
    {11, "HCI", "SST", 2, "VESKER_SZ_RomHCISST2", 512, "write file error HC4!", "HCI 39 2"},
    {12, "T", "AMD", 1, "VESKER_SZ_Rom_T_AMD1", 256, "write file error T1!", "T 29 1"},
    {13, "T", "AMD", 2, "VESKER_SZ_Rom_T_AMD2", 512, "write file error T2!", "T 29 2"},
    {14, "T", "SST", 1, "VESKER_SZ_Rom_T_SST1", 256, "write file error T3!", "T 39 1"},
    {15, "T", "SST", 2, "VESKER_SZ_Rom_T_SST2", 512, "write file error T4!", "T 39 2"},
};

ReplyFamily ReplyFamilyOf(int variant) {
  const char* line = ReceiverVariantTable[variant].productLine;
  return std::strcmp(line, "CI") == 0 || std::strcmp(line, "HCI") == 0 ? ReplyFamily::kCiHci
                                                                       : ReplyFamily::kFtaT;
}

const ReplySet& AcknowledgementSet(ReplyFamily family) {
  static const ReplySet kFtaT = {comm::AckFrame,
                                 comm::CommandFrame(comm::kReplyCode11, comm::kReplyQualifier11),
                                 comm::CommandFrame(comm::kReplyCodeAA)};
  static const ReplySet kCiHci = {comm::CommandFrame(comm::kReplyCodeF0),
                                  comm::CommandFrame(comm::kReplyCodeF2),
                                  comm::CommandFrame(comm::kReplyCodeFF)};
  return family == ReplyFamily::kCiHci ? kCiHci : kFtaT;
}

int MatchImageTag(const std::uint8_t* tag) {
  for (const ReceiverVariant& variant : ReceiverVariantTable) {
    if (std::memcmp(tag, variant.imageTag, kTagSize) == 0) {
      return variant.number;
    }
  }
  return -1;
}

int MatchVariantReport(const std::uint8_t* frame) {
  for (const ReceiverVariant& variant : ReceiverVariantTable) {
    const comm::Frame report = comm::VariantReportFrame(variant.number);
    if (std::memcmp(frame, report.data(), report.size()) == 0) {
      return variant.number;
    }
  }
  return -1;
}

}  // namespace romimage
