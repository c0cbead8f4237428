/*! licence */
'use strict';
var a = 1;
