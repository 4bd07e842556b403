// The line end conversion of ASCII transfers, on the cases of tests/data/net/line-ends.json.
#include "net/LineEndConverter.h"

#include "NetTestData.h"

#include <gtest/gtest.h>
#include <string>

using namespace zr::net;
using namespace quillate::testing;

namespace {

class LineEnds : public ::testing::TestWithParam<json> {};

TEST_P(LineEnds, ConvertTheSameWhereverAChunkEnds) {
    const auto direction = GetParam()["direction"] == "toLocal" ? TLineEndConverter::TDirection::ldToLocal
                                                                : TLineEndConverter::TDirection::ldToNetwork;
    auto convert = [&](const std::vector<std::string_view>& pieces) {
        TLineEndConverter converter(direction);
        std::string out;
        for (auto piece : pieces)
            out += converter.Convert(piece);
        out += converter.Finish();
        return json(out);
    };
    const std::string in = GetParam()["in"];
    ExpectSameWhereverCut<std::exception>(GetParam(), in, GetParam()["out"], convert);
}

INSTANTIATE_TEST_SUITE_P(Data, LineEnds, ::testing::ValuesIn(LoadCases("line-ends.json")), CaseName);

} // namespace
