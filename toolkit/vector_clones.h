// Functions marked ROW_LOOPS are built twice, for AVX2 and for the baseline instruction set,
// and the build that the processor supports is chosen at run time. Both do the same IEEE
// operations in the same order (nothing is contracted to a fused multiply-add), so they give the
// same bits; AVX2 only does four elements at a time.
#ifndef VARNOSTA_TOOLKIT_VECTOR_CLONES_H
#define VARNOSTA_TOOLKIT_VECTOR_CLONES_H

#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define ROW_LOOPS __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef ROW_LOOPS
#define ROW_LOOPS
#endif

#endif  // VARNOSTA_TOOLKIT_VECTOR_CLONES_H
