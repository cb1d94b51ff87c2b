// The two foreign libraries link and work: ONNX Runtime's function table and one pocketfft transform.
#include <pocketfft_hdronly.h>
#include <gtest/gtest.h>
#include <onnxruntime_c_api.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

TEST(Dependencies, OnnxRuntimeOffersTheHeadersTableAndItsVersion) {
  const OrtApiBase* base = OrtGetApiBase();
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(std::string(base->GetVersionString()), "1.31.1");
  EXPECT_NE(base->GetApi(ORT_API_VERSION), nullptr);
  std::printf("ONNX Runtime %s, function table %d\n", base->GetVersionString(), ORT_API_VERSION);
}

TEST(Dependencies, PocketfftTransformsOneSine) {
  const std::size_t n = 64;
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(std::cos(6.283185307179586 * 5.0 * double(i) / double(n)));
  std::vector<std::complex<float>> bins(n / 2 + 1);
  pocketfft::r2c<float>({n}, {sizeof(float)}, {sizeof(std::complex<float>)}, 0, true, x.data(), bins.data(), 1.0f, 1);
  for (std::size_t k = 0; k < bins.size(); ++k) {
    EXPECT_NEAR(bins[k].real(), k == 5 ? 32.0f : 0.0f, 1e-4) << "bin " << k;
    EXPECT_NEAR(bins[k].imag(), 0.0f, 1e-4) << "bin " << k;
  }
}
