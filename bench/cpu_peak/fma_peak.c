// The machine's fp32 peak as the compiler can reach it: independent chains of fused multiply-adds
// in vector registers (AVX-512 where the build machine has it, else AVX2), on every thread.
#include <immintrin.h>
#include <omp.h>
#include <stdio.h>

#if defined(__AVX512F__)
typedef __m512 vec;
#define LANES 16
#define SET1 _mm512_set1_ps
#define FMA _mm512_fmadd_ps
static float sum(vec v) { return _mm512_reduce_add_ps(v); }
#elif defined(__AVX2__) && defined(__FMA__)
typedef __m256 vec;
#define LANES 8
#define SET1 _mm256_set1_ps
#define FMA _mm256_fmadd_ps
static float sum(vec v) {
    float lanes[8];
    _mm256_storeu_ps(lanes, v);
    float total = 0;
    for (int i = 0; i < 8; ++i) total += lanes[i];
    return total;
}
#else
#error "needs AVX2 with FMA or AVX-512"
#endif

// Twelve chains cover the latency of two FMA units (4 cycles each) with room to spare.
#define CHAINS 12

int main(void) {
    const long rounds = 400000000L;
    float sink = 0;
    int threads = 1;
    const double start = omp_get_wtime();
#pragma omp parallel reduction(+ : sink)
    {
#pragma omp single
        threads = omp_get_num_threads();
        vec a0 = SET1(1.0f), a1 = SET1(1.1f), a2 = SET1(1.2f), a3 = SET1(1.3f), a4 = SET1(1.4f),
            a5 = SET1(1.5f), a6 = SET1(1.6f), a7 = SET1(1.7f), a8 = SET1(1.8f), a9 = SET1(1.9f),
            a10 = SET1(2.0f), a11 = SET1(2.1f);
        const vec b = SET1(0.9999999f), c = SET1(1e-7f);
        for (long n = 0; n < rounds; ++n) {
            a0 = FMA(a0, b, c), a1 = FMA(a1, b, c), a2 = FMA(a2, b, c), a3 = FMA(a3, b, c);
            a4 = FMA(a4, b, c), a5 = FMA(a5, b, c), a6 = FMA(a6, b, c), a7 = FMA(a7, b, c);
            a8 = FMA(a8, b, c), a9 = FMA(a9, b, c), a10 = FMA(a10, b, c), a11 = FMA(a11, b, c);
        }
        sink += sum(a0) + sum(a1) + sum(a2) + sum(a3) + sum(a4) + sum(a5) + sum(a6) + sum(a7) + sum(a8) +
                sum(a9) + sum(a10) + sum(a11);
    }
    const double seconds = omp_get_wtime() - start;
    const double flops = (double)threads * rounds * CHAINS * LANES * 2;
    printf("%d thread%s, %d-lane FMA: %.0f GFLOP/s fp32 (%.3f s; %g)\n", threads, threads == 1 ? "" : "s", LANES,
           flops / seconds / 1e9, seconds, sink);
    return 0;
}
