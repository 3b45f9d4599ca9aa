#!/usr/bin/python3
"""Converts a float TFLite model (the selfie segmentation model) to ONNX.

    tflite_to_onnx.py MODEL.tflite MODEL.onnx

Supports the operators that model uses: CONV_2D, DEPTHWISE_CONV_2D, ADD, MUL, RELU, HARD_SWISH,
LOGISTIC, AVERAGE_POOL_2D, MEAN, RESIZE_BILINEAR, DEQUANTIZE (of fp16 constants) and the custom
Convolution2DTransposeBias. TFLite works in NHWC and ONNX in NCHW: the graph's input is
transposed to NCHW once, every 4-D tensor inside stays NCHW, and each output is transposed back,
so the ONNX model has the TFLite model's input and output shapes. Each operator's output shape is
worked out and checked against the shape the TFLite file records.

Where no operator depends on the exact size of the picture, the ONNX model's height and width are
left free, so that it can be run at other sizes than the one it was made for: every stride divides
its input's size (SAME padding is then the same at any size), every average pool spans the whole
plane (it becomes a global average) and every resize is by a whole factor. The model then takes
any size whose sides the product of its strides divides.

Runs with Debian's python3-onnx, python3-numpy and python3-flatbuffers.
"""

import sys

import flatbuffers
import numpy as np
import onnx
from flatbuffers import encode, number_types, packer, table
from onnx import TensorProto, helper, numpy_helper

OPSET = 14  # HardSwish

# BuiltinOperator codes of the TFLite schema.
ADD, AVERAGE_POOL_2D, CONV_2D, DEPTHWISE_CONV_2D, DEQUANTIZE = 0, 1, 3, 4, 6
LOGISTIC, MUL, RELU, RESIZE_BILINEAR, CUSTOM, MEAN, HARD_SWISH = 14, 18, 19, 23, 32, 40, 117
# TensorType codes.
FLOAT32, FLOAT16, INT32 = 0, 1, 2
# Padding of the builtin options (SAME 0, VALID 1) and of the custom op's TfLitePadding
# (unknown 0, SAME 1, VALID 2).
BUILTIN_SAME, CUSTOM_SAME = 0, 1
# Fused activations.
ACT_NONE, ACT_RELU, ACT_RELU6 = 0, 1, 3
# NHWC axis -> NCHW axis.
NCHW_AXIS = {0: 0, 1: 2, 2: 3, 3: 1}


class ConversionError(Exception):
    pass


class Reader:
    """A table of a flatbuffer, read by field index."""

    def __init__(self, buf, pos):
        self.buf = buf
        self.t = table.Table(buf, pos)

    def _offset(self, field):
        return self.t.Offset(4 + 2 * field)

    def scalar(self, field, flags, default=0):
        o = self._offset(field)
        return self.t.Get(flags, o + self.t.Pos) if o else default

    def table(self, field):
        o = self._offset(field)
        return Reader(self.buf, self.t.Indirect(o + self.t.Pos)) if o else None

    def tables(self, field):
        o = self._offset(field)
        if not o:
            return []
        start = self.t.Vector(o)
        return [Reader(self.buf, self.t.Indirect(start + 4 * i)) for i in range(self.t.VectorLen(o))]

    def vector(self, field, dtype):
        o = self._offset(field)
        if not o:
            return np.zeros(0, dtype)
        return np.frombuffer(self.buf, dtype, self.t.VectorLen(o), self.t.Vector(o))

    def string(self, field):
        o = self._offset(field)
        return self.t.String(o + self.t.Pos).decode() if o else ""


def same_padding(size, kernel, stride, dilation=1):
    """TFLite's SAME padding of one axis: (before, after), the odd pixel going after."""
    out = -(-size // stride)
    total = max((out - 1) * stride + (kernel - 1) * dilation + 1 - size, 0)
    return total // 2, total - total // 2


def conv_output(size, kernel, stride, same, dilation=1):
    if same:
        return -(-size // stride)
    return (size - (kernel - 1) * dilation - 1) // stride + 1


class Converter:
    def __init__(self, data):
        self.buf = bytearray(data)
        model = Reader(self.buf, encode.Get(packer.uoffset, self.buf, 0))
        self.codes = [
            (max(c.scalar(0, number_types.Int8Flags), c.scalar(3, number_types.Int32Flags)), c.string(1))
            for c in model.tables(1)
        ]
        self.buffers = [b.vector(0, np.uint8) for b in model.tables(4)]
        subgraphs = model.tables(2)
        if len(subgraphs) != 1:
            raise ConversionError("expected one subgraph, found %d" % len(subgraphs))
        self.graph = subgraphs[0]
        self.tensors = self.graph.tables(0)
        self.nodes, self.initializers = [], []
        self.constants = {}  # tensor index -> numpy array (TFLite layout)
        self.shapes = {}  # tensor index -> NHWC shape of a produced activation
        self.unique = 0
        self.any_size = True  # no operator so far depends on the picture's exact size

    # ------------------------------------------------------------------ tensors
    def name(self, index):
        """The name of a tensor inside the graph; the graph's inputs and outputs keep theirs."""
        return "#%d" % index

    def shape(self, index):
        return [int(d) for d in self.tensors[index].vector(0, np.int32)]

    def constant(self, index):
        """The value of a constant tensor, from its buffer or a DEQUANTIZE of one."""
        if index in self.constants:
            return self.constants[index]
        tensor = self.tensors[index]
        data = self.buffers[tensor.scalar(2, number_types.Uint32Flags)]
        if len(data) == 0:
            raise ConversionError("tensor %s has no constant value" % tensor.string(3))
        dtype = {FLOAT32: np.float32, FLOAT16: np.float16, INT32: np.int32}.get(
            tensor.scalar(1, number_types.Int8Flags))
        if dtype is None:
            raise ConversionError("tensor %s has an unsupported type" % tensor.string(3))
        value = np.frombuffer(bytes(data), dtype).reshape(self.shape(index))
        self.constants[index] = value
        return value

    def initializer(self, value, hint):
        self.unique += 1
        name = "%s_%d" % (hint, self.unique)
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(value), name))
        return name

    def node(self, op, inputs, outputs, **attributes):
        self.nodes.append(helper.make_node(op, inputs, outputs, **attributes))

    def elementwise_operand(self, index):
        """An ADD or MUL operand: an activation, or a constant laid out to broadcast in NCHW."""
        if index in self.shapes:
            return self.name(index)
        value = self.constant(index).astype(np.float32)
        if value.ndim == 4:
            value = value.transpose(0, 3, 1, 2)
        elif value.ndim == 1 and value.size > 1:
            value = value.reshape(1, -1, 1, 1)
        return self.initializer(value, "const")

    def activation(self, fused, output):
        """Adds the fused activation after a node that wrote `output`+'_raw'."""
        raw = output + "_raw"
        if fused == ACT_NONE:
            self.node("Identity", [raw], [output])
        elif fused == ACT_RELU:
            self.node("Relu", [raw], [output])
        elif fused == ACT_RELU6:
            self.node("Clip", [raw, self.initializer(np.float32(0), "zero"),
                               self.initializer(np.float32(6), "six")], [output])
        else:
            raise ConversionError("unsupported fused activation %d" % fused)

    def strided(self, size, kernel, stride, same):
        """Notes whether an operator's window leaves the graph free of the picture's size: SAME
        windows whose stride divides the size, and VALID ones that neither shrink nor skip."""
        if (stride > 1 and size % stride) or (not same and (kernel > 1 or stride > 1)):
            self.any_size = False

    def produce(self, index, shape):
        shape = [int(d) for d in shape]
        recorded = self.shape(index)
        if recorded and list(shape) != recorded:
            raise ConversionError("tensor %s: worked out %s, the file records %s"
                                  % (self.tensors[index].string(3), list(shape), recorded))
        self.shapes[index] = shape

    # ------------------------------------------------------------------ operators
    def convert(self):
        inputs = [int(i) for i in self.graph.vector(1, np.int32)]
        outputs = [int(i) for i in self.graph.vector(2, np.int32)]
        graph_inputs, graph_outputs = [], []
        for i in inputs:
            shape = self.shape(i)
            graph_inputs.append(helper.make_tensor_value_info(self.tensors[i].string(3), TensorProto.FLOAT, shape))
            if len(shape) == 4:
                self.node("Transpose", [self.tensors[i].string(3)], [self.name(i)], perm=[0, 3, 1, 2])
            else:
                self.node("Identity", [self.tensors[i].string(3)], [self.name(i)])
            self.shapes[i] = shape

        for op in self.graph.tables(3):
            code, custom = self.codes[op.scalar(0, number_types.Uint32Flags)]
            ins = [int(i) for i in op.vector(1, np.int32)]
            outs = [int(i) for i in op.vector(2, np.int32)]
            options = op.table(4)
            if code == DEQUANTIZE:
                self.constants[outs[0]] = self.constant(ins[0]).astype(np.float32)
            elif code == CONV_2D:
                self.conv(ins, outs[0], options, depthwise=False)
            elif code == DEPTHWISE_CONV_2D:
                self.conv(ins, outs[0], options, depthwise=True)
            elif code in (ADD, MUL):
                self.binary("Add" if code == ADD else "Mul", ins, outs[0], options)
            elif code in (RELU, LOGISTIC, HARD_SWISH):
                op_type = {RELU: "Relu", LOGISTIC: "Sigmoid", HARD_SWISH: "HardSwish"}[code]
                self.node(op_type, [self.name(ins[0])], [self.name(outs[0])])
                self.produce(outs[0], self.shapes[ins[0]])
            elif code == AVERAGE_POOL_2D:
                self.average_pool(ins[0], outs[0], options)
            elif code == MEAN:
                self.mean(ins, outs[0], options)
            elif code == RESIZE_BILINEAR:
                self.resize(ins, outs[0], options)
            elif code == CUSTOM and custom == "Convolution2DTransposeBias":
                self.transpose_conv(ins, outs[0], op.vector(5, np.uint8))
            else:
                raise ConversionError("unsupported operator %s" % (custom or code))

        for i in outputs:
            name = self.tensors[i].string(3)
            shape = self.shapes[i]
            if len(shape) == 4:
                self.node("Transpose", [self.name(i)], [name], perm=[0, 2, 3, 1])
            else:
                self.node("Identity", [self.name(i)], [name])
            graph_outputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, shape))

        if self.any_size:
            for value in graph_inputs + graph_outputs:
                dims = value.type.tensor_type.shape.dim
                if len(dims) == 4:  # N x H x W x C
                    dims[1].dim_param, dims[2].dim_param = "height", "width"
        graph = helper.make_graph(self.nodes, "converted", graph_inputs, graph_outputs, self.initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                                  producer_name="plumvane tflite_to_onnx")
        onnx.checker.check_model(model)
        return model

    def conv(self, ins, out, options, depthwise):
        n, h, w, c = self.shapes[ins[0]]
        weights = self.constant(ins[1]).astype(np.float32)
        if depthwise:
            # 1 x kH x kW x (C * multiplier) -> (C * multiplier) x 1 x kH x kW, one group per channel.
            stride_w, stride_h = options.scalar(1, number_types.Int32Flags), options.scalar(2, number_types.Int32Flags)
            fused = options.scalar(4, number_types.Int8Flags)
            dilation_w = options.scalar(5, number_types.Int32Flags, 1)
            dilation_h = options.scalar(6, number_types.Int32Flags, 1)
            kernel = weights.transpose(3, 0, 1, 2)
            group = c
        else:
            # O x kH x kW x I -> O x I x kH x kW.
            stride_w, stride_h = options.scalar(1, number_types.Int32Flags), options.scalar(2, number_types.Int32Flags)
            fused = options.scalar(3, number_types.Int8Flags)
            dilation_w = options.scalar(4, number_types.Int32Flags, 1)
            dilation_h = options.scalar(5, number_types.Int32Flags, 1)
            kernel = weights.transpose(0, 3, 1, 2)
            group = 1
        same = options.scalar(0, number_types.Int8Flags) == BUILTIN_SAME
        kh, kw = kernel.shape[2], kernel.shape[3]
        top, bottom = same_padding(h, kh, stride_h, dilation_h) if same else (0, 0)
        left, right = same_padding(w, kw, stride_w, dilation_w) if same else (0, 0)
        self.strided(h, kh, stride_h, same)
        self.strided(w, kw, stride_w, same)
        inputs = [self.name(ins[0]), self.initializer(kernel, "weights")]
        if len(ins) > 2 and ins[2] >= 0:
            inputs.append(self.initializer(self.constant(ins[2]).astype(np.float32), "bias"))
        self.node("Conv", inputs, [self.name(out) + "_raw"], kernel_shape=[kh, kw],
                  strides=[stride_h, stride_w], dilations=[dilation_h, dilation_w],
                  pads=[top, left, bottom, right], group=group)
        self.activation(fused, self.name(out))
        self.produce(out, [n, conv_output(h, kh, stride_h, same, dilation_h),
                           conv_output(w, kw, stride_w, same, dilation_w), kernel.shape[0]])

    def binary(self, op_type, ins, out, options):
        fused = options.scalar(0, number_types.Int8Flags) if options else ACT_NONE
        self.node(op_type, [self.elementwise_operand(i) for i in ins], [self.name(out) + "_raw"])
        self.activation(fused, self.name(out))
        shapes = [self.shapes.get(i) for i in ins if i in self.shapes]
        self.produce(out, np.broadcast_shapes(*[tuple(s) for s in shapes]) if len(shapes) > 1 else shapes[0])

    def average_pool(self, index, out, options):
        n, h, w, c = self.shapes[index]
        same = options.scalar(0, number_types.Int8Flags) == BUILTIN_SAME
        stride_w, stride_h = options.scalar(1, number_types.Int32Flags), options.scalar(2, number_types.Int32Flags)
        kw, kh = options.scalar(3, number_types.Int32Flags), options.scalar(4, number_types.Int32Flags)
        fused = options.scalar(5, number_types.Int8Flags)
        top, bottom = same_padding(h, kh, stride_h) if same else (0, 0)
        left, right = same_padding(w, kw, stride_w) if same else (0, 0)
        if (kh, kw) == (h, w) and top + bottom + left + right == 0:
            # One window over the whole plane: its mean at any size.
            self.node("GlobalAveragePool", [self.name(index)], [self.name(out) + "_raw"])
        else:
            # TFLite averages over the pixels inside the picture only: padding is not counted.
            self.node("AveragePool", [self.name(index)], [self.name(out) + "_raw"], kernel_shape=[kh, kw],
                      strides=[stride_h, stride_w], pads=[top, left, bottom, right], count_include_pad=0)
            self.strided(h, kh, stride_h, same)
            self.strided(w, kw, stride_w, same)
        self.activation(fused, self.name(out))
        self.produce(out, [n, conv_output(h, kh, stride_h, same), conv_output(w, kw, stride_w, same), c])

    def mean(self, ins, out, options):
        shape = self.shapes[ins[0]]
        axes = sorted({int(a) % len(shape) for a in np.atleast_1d(self.constant(ins[1]))})
        keep = bool(options.scalar(0, number_types.BoolFlags)) if options else False
        if len(shape) != 4:
            raise ConversionError("MEAN of a %d-D tensor" % len(shape))
        if not keep and set(axes) != {1, 2}:
            raise ConversionError("MEAN without keep_dims must reduce height and width")
        self.node("ReduceMean", [self.name(ins[0])], [self.name(out)],
                  axes=[NCHW_AXIS[a] for a in axes], keepdims=1)
        reduced = [1 if a in axes else d for a, d in enumerate(shape)]
        if not keep:
            # N x C x 1 x 1 stays 4-D inside: it broadcasts over NCHW activations as N x C would.
            reduced = [shape[0], shape[3]]
            self.produce(out, reduced)
            self.shapes[out] = [shape[0], 1, 1, shape[3]]
            return
        self.produce(out, reduced)

    def resize(self, ins, out, options):
        n, h, w, c = self.shapes[ins[0]]
        new_h, new_w = [int(v) for v in self.constant(ins[1])]
        align = bool(options.scalar(2, number_types.BoolFlags)) if options else False
        half = bool(options.scalar(3, number_types.BoolFlags)) if options else False
        mode = "align_corners" if align else "half_pixel" if half else "asymmetric"
        if new_h % h == 0 and new_w % w == 0 and mode != "align_corners":
            # By a whole factor, which holds at any size. (With the corners aligned, where each
            # output pixel samples depends on the size too.)
            scales = self.initializer(np.array([1, 1, new_h // h, new_w // w], np.float32), "scales")
            self.node("Resize", [self.name(ins[0]), "", scales], [self.name(out)], mode="linear",
                      coordinate_transformation_mode=mode)
        else:
            sizes = self.initializer(np.array([n, c, new_h, new_w], np.int64), "sizes")
            self.node("Resize", [self.name(ins[0]), "", "", sizes], [self.name(out)], mode="linear",
                      coordinate_transformation_mode=mode)
            self.any_size = False
        self.produce(out, [n, new_h, new_w, c])

    def transpose_conv(self, ins, out, options):
        padding, stride_w, stride_h = np.frombuffer(bytes(options), "<i4", 3)
        n, h, w, c = self.shapes[ins[0]]
        weights = self.constant(ins[1]).astype(np.float32)  # O x kH x kW x I
        kernel = weights.transpose(3, 0, 1, 2)  # I x O x kH x kW
        kh, kw = kernel.shape[2], kernel.shape[3]
        same = padding == CUSTOM_SAME
        out_h = h * stride_h if same else (h - 1) * stride_h + kh
        out_w = w * stride_w if same else (w - 1) * stride_w + kw
        if not same and (kh, kw) != (stride_h, stride_w):
            self.any_size = False
        # The full transposed convolution is (in - 1) * stride + k long; SAME crops the excess,
        # the smaller half before, as the matching forward convolution pads.
        excess_h = (h - 1) * stride_h + kh - out_h
        excess_w = (w - 1) * stride_w + kw - out_w
        inputs = [self.name(ins[0]), self.initializer(kernel, "weights")]
        if len(ins) > 2 and ins[2] >= 0:
            inputs.append(self.initializer(self.constant(ins[2]).astype(np.float32).reshape(-1), "bias"))
        self.node("ConvTranspose", inputs, [self.name(out)], kernel_shape=[int(kh), int(kw)],
                  strides=[int(stride_h), int(stride_w)],
                  pads=[excess_h // 2, excess_w // 2, excess_h - excess_h // 2, excess_w - excess_w // 2])
        self.produce(out, [n, out_h, out_w, kernel.shape[1]])


def convert(data):
    """The ONNX model of a TFLite model given as bytes."""
    return Converter(data).convert()


def main(argv):
    if len(argv) != 3:
        print("usage: tflite_to_onnx.py MODEL.tflite MODEL.onnx", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            model = convert(f.read())
    except (OSError, ConversionError) as error:
        print("tflite_to_onnx: %s" % error, file=sys.stderr)
        return 1
    onnx.save(model, argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
