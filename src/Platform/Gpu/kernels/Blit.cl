// Texture region copy for blit encoders: grid (width, height, 1), one pixel of one slice per item.
// params: source origin x, y, slice; destination origin x, y, slice; bytes per pixel.
kernel void lv_copy_texture(LV_GRID, LV_TEXTURE(source), LV_TEXTURE(destination), const int8 params)
{
    if (!LV_IN_GRID()) return;
    lv_tex s = LV_TEX(source);
    lv_tex d = LV_TEX(destination);
    const int x = (int)get_global_id(0), y = (int)get_global_id(1);
    global const uchar* from = lv_texel(s, params.s0 + x, params.s1 + y, params.s2);
    global uchar* to = lv_texel(d, params.s3 + x, params.s4 + y, params.s5);
    switch (params.s6) {
    case 16: vstore4(vload4(0, (global const uint*)from), 0, (global uint*)to); break;
    case 8: vstore2(vload2(0, (global const uint*)from), 0, (global uint*)to); break;
    case 4: *(global uint*)to = *(global const uint*)from; break;
    case 2: *(global ushort*)to = *(global const ushort*)from; break;
    default: for (int i = 0; i < params.s6; ++i) to[i] = from[i]; break;
    }
}
