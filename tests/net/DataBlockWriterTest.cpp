// The data block sender's wire form, on the cases of tests/data/net/dot-stuffing.json.
#include "net/DataBlockWriter.h"

#include "NetTestData.h"

#include <gtest/gtest.h>
#include <string>

using namespace zr::net;
using namespace quillate::testing;

namespace {

class DotStuffing : public ::testing::TestWithParam<json> {};

TEST_P(DotStuffing, EncodesTheSameWhereverAChunkEnds) {
    auto encode = [](const std::vector<std::string_view>& pieces) {
        TDataBlockEncoder encoder;
        std::string out;
        for (auto piece : pieces)
            encoder.Encode(piece, out);
        encoder.Finish(out);
        return json(out);
    };
    const std::string in = GetParam()["in"];
    ExpectSameWhereverCut<std::exception>(GetParam(), in, GetParam()["out"], encode);
}

INSTANTIATE_TEST_SUITE_P(Data, DotStuffing, ::testing::ValuesIn(LoadCases("dot-stuffing.json")), CaseName);

} // namespace
